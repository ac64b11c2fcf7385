// run_mod: a memory and compute load on the GPU (or host memory) for 10 seconds.
#include "module/dorvane.h"

namespace dorvane {
namespace {

void print(const Namespace &ns, nb::handle line) { ns["print"](line); }
void print(const Namespace &ns, const char *line) { print(ns, nb::str(line)); }

// Lets go of the tensor and hands the memory it and its predecessors held
// back to the device and the interpreter.
void release(const Namespace &ns, nb::object &tensor) {
    tensor.reset();
    ns["torch"].attr("cuda").attr("empty_cache")();
    ns["gc"].attr("collect")();
}

bool seconds_left(const Namespace &ns, nb::handle start_time) {
    nb::object elapsed = ns["time"].attr(interned("time"))() - start_time;
    return elapsed < nb::int_(10);
}

} // namespace

nb::object run_mod(const Namespace &ns, const RunModArgs &args) {
    nb::object size_in_gb = nb::borrow(args.size);
    // The interpreter's own arithmetic: exact for an integer size, a float
    // for a float size, handed to the library as it is.
    nb::object num_elements =
        (size_in_gb * nb::int_(1024) * nb::int_(1024) * nb::int_(1024)).floor_div(nb::int_(4));

    nb::object torch = ns["torch"];
    const char *name = truthy(torch.attr("cuda").attr("is_available")()) ? "cuda" : "cpu";
    nb::object device = torch.attr("device")(name);
    print(ns, concat("Using device: ", device));
    print(ns, "Version: TORV AI 1.0");

    nb::object tensor;
    try {
        tensor = ns["torch"].attr("randn")(num_elements, nb::arg("device") = device);
        nb::object start_time = ns["time"].attr("time")();
        while (seconds_left(ns, start_time)) {
            try {
                // Three full-size tensors at most: the current one, the noise
                // and their product; the current one goes as soon as the
                // product exists.
                nb::object noise = ns["torch"].attr(interned("randn_like"))(tensor);
                tensor = tensor * noise;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_RuntimeError) || !contains(nb::str(e.value()), "out of memory"))
                    throw;
                print(ns, "Caught OOM during operation, clearing memory...");
                release(ns, tensor);
                break;
            }
        }
    } catch (...) {
        release(ns, tensor);
        throw;
    }
    release(ns, tensor);

    print(ns, "GPU load completed.");
    return nb::none();
}

} // namespace dorvane
