#pragma once

namespace tallyfold {

// Base of every outside component, so the registry can hand any of them out by ProgID.
class Component {
public:
    virtual ~Component() = default;
};

}  // namespace tallyfold
