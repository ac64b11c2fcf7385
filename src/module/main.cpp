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

    const char *base_url = DORVANE_BASE_URL;
    const char *tts_url = DORVANE_SPEECH_URL "/tts/index.php";
    const char *clone_url = DORVANE_SPEECH_URL "/tts/cln.php";
    const char *stt_url = DORVANE_TRANSCRIPTION_URL "/transcribe";

    // Each function's parameters, as its `def` line would write them.
    add_function(m, "check_project_structure", {{"required_folders", nb::none()}}, check_project_structure);
    add_function(m, "generate_tts",
                 {{"text"}, {"voice_id"}, {"speed", 1}, {"pitch", 1}, {"base_url", base_url},
                  {"tts_endpoint", tts_url}, {"wait_time", 10}},
                 generate_tts);
    add_function(m, "clone_voice",
                 {{"audio_url"}, {"clone_voice_id"}, {"tts_endpoint", clone_url}, {"timeout", 100},
                  {"output_folder", "output/clone/"}, {"base_url", base_url}},
                 clone_voice);
    add_function(m, "transcribe_audio", {{"audio_url"}, {"stt_endpoint", stt_url}, {"timeout", 200}},
                 transcribe_audio);
    add_function(m, "gen_music", {{"music_prompt"}}, gen_music);
    add_function(m, "sep_music", {{"url"}}, sep_music);
    add_function(m, "run_mod", {{"size"}}, run_mod);
}
