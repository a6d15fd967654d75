#pragma once

#include "outside/component_registry.h"

namespace tallyfold {

// Our own implementation of a ProgID, or an empty factory when there is none.
ComponentFactory builtinComponentFactory(const QString& progId);

}  // namespace tallyfold
