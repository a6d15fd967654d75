#pragma once

#include "platform/export.h"
namespace tallyfold {

// Base of every outside component, so the registry can hand any of them out by ProgID.
class TALLYFOLD_EXPORT Component {
public:
    virtual ~Component() = default;
};

}  // namespace tallyfold
