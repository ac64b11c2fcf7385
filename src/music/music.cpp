// gen_music and sep_music: places held for music generation and separation,
// which need a GPU this service does not have.
#include "module/dorvane.h"
#include "module/installation.h"

namespace dorvane {
namespace {

nb::object gpu_required(const Namespace &ns) {
    if (auto refused = installation_gate(ns))
        return std::move(*refused);
    ns["time"].attr("sleep")(10);
    return error_payload("A100 GPU is required to run this code.");
}

} // namespace

nb::object gen_music(const Namespace &ns, const GenMusicArgs &) { return gpu_required(ns); }

nb::object sep_music(const Namespace &ns, const SepMusicArgs &) { return gpu_required(ns); }

} // namespace dorvane
