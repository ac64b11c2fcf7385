// The installation check that every operation but the GPU load passes first.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>

#include "module/namespace.h"

namespace dorvane {

// A folder beside the module file and the files it must hold.
struct RequiredFolder {
    const char *name;
    const char *const *files;
    std::size_t file_count;
};

namespace layout {
inline constexpr const char *models[] = {"whisper_model.safetensors",
                                         "voice_clone_00001-of-00002.safetensors",
                                         "musicgen_00002-of-00002.bin", "D_Onigiri_50968.pth"};
inline constexpr const char *token[] = {"tokenizer.json", "mtl_tokenizer.json"};
inline constexpr const char *zonos[] = {"config.py"};
} // namespace layout

// What `check_project_structure()` checks when given no mapping, in order.
inline constexpr RequiredFolder default_layout[] = {{"models", layout::models, std::size(layout::models)},
                                                    {"token", layout::token, std::size(layout::token)},
                                                    {"zonos", layout::zonos, std::size(layout::zonos)}};

// Takes what the check holds for the life of the process; called once, from
// the module's initialisation, before any check runs.
void prepare_installation_check();

// Calls the module's `check_project_structure()`, looked up like any other
// name so a host can replace it; on "error" the operation returns the pair
// (that very payload, 400) instead of doing its work.
std::optional<nb::object> installation_gate(const Namespace &ns);

} // namespace dorvane
