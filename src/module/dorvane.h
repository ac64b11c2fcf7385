// The seven operations of the dorvane module, as the function table binds them.
#pragma once

#include "module/namespace.h"

namespace dorvane {

// Each operation receives the module's namespace and its arguments already
// bound to its parameters, in parameter order, defaults filled in.
using Args = const nb::handle *;
using Operation = nb::object (*)(const Namespace &ns, Args args);

nb::object check_project_structure(const Namespace &ns, Args args);
nb::object generate_tts(const Namespace &ns, Args args);
nb::object clone_voice(const Namespace &ns, Args args);
nb::object transcribe_audio(const Namespace &ns, Args args);
nb::object gen_music(const Namespace &ns, Args args);
nb::object sep_music(const Namespace &ns, Args args);
nb::object run_mod(const Namespace &ns, Args args);

} // namespace dorvane
