#pragma once

#include "records/mdl_gather_data.h"

namespace tallyfold {

// The library's one set of shared variables, owned by the entry layer: they
// outlive every window and stay as they are while the library is loaded.
Mdl_GatherData& libraryModule();

}  // namespace tallyfold
