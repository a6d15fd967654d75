#pragma once

#include "outside/component_registry.h"

namespace tallyfold {

// Registers our own implementation of a ProgID; a factory a host registered for it still wins.
void registerBuiltinComponent(const QString& progId, ComponentFactory factory);

}  // namespace tallyfold
