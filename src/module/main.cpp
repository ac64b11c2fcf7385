// The module entry: imports the libraries the operations use and binds the function table.
#include "module/dorvane.h"
#include "module/function.h"
#include "module/installation.h"

using namespace dorvane;

NB_MODULE(dorvane, m) {
    // Bound as attributes so every operation looks them up at call time.
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    nb::module_ exceptions = nb::module_::import_("requests.exceptions");
    m.attr("RequestException") = exceptions.attr("RequestException");
    m.attr("Timeout") = exceptions.attr("Timeout");
    m.attr("torch") = nb::module_::import_("torch");
    m.attr("gc") = nb::module_::import_("gc");

    prepare_installation_check();

    // Each function's parameters come from its operation's list (dorvane.h).
    add_function<check_project_structure>(m, "check_project_structure");
    add_function<generate_tts>(m, "generate_tts");
    add_function<clone_voice>(m, "clone_voice");
    add_function<transcribe_audio>(m, "transcribe_audio");
    add_function<gen_music>(m, "gen_music");
    add_function<sep_music>(m, "sep_music");
    add_function<run_mod>(m, "run_mod");
}
