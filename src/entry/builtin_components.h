#pragma once

#include "outside/host_folder.h"

namespace tallyfold {

// Registers our own implementation of every ProgID, bound to one host folder
// and database; a later call replaces them. Factories a host registered stay first.
void registerBuiltinComponents(const HostSettings& host);

}  // namespace tallyfold
