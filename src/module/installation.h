// The installation gate that every operation but the GPU load passes first.
#pragma once

#include <optional>

#include "module/namespace.h"

namespace dorvane {

// Takes what the check holds for the life of the process; called once, from
// the module's initialisation, before any check runs.
void prepare_installation_check();

// Calls the module's `check_project_structure()`, looked up like any other
// name so a host can replace it; on "error" the operation returns the pair
// (that very payload, 400) instead of doing its work.
std::optional<nb::object> installation_gate(const Namespace &ns);

} // namespace dorvane
