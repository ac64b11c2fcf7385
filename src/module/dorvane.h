// The seven operations of the dorvane module and the one list of each one's parameters.
#pragma once

#include <array>
#include <cstddef>

#include "module/namespace.h"

namespace dorvane {

// Each operation's parameters in the order of its `def` line: NEED(name) for
// one the caller must give, HAS(name, default) for one with a default. The
// function table makes the signature from the list, and the operation reads
// its arguments by the list's names, so the order is written here alone.
// clang-format off: one parameter a line, as a def's signature reads
#define DORVANE_CHECK_PROJECT_STRUCTURE(NEED, HAS) \
    HAS(required_folders, nb::none())
#define DORVANE_GENERATE_TTS(NEED, HAS) \
    NEED(text) \
    NEED(voice_id) \
    HAS(speed, 1) \
    HAS(pitch, 1) \
    HAS(base_url, DORVANE_BASE_URL) \
    HAS(tts_endpoint, DORVANE_SPEECH_URL "/tts/index.php") \
    HAS(wait_time, 10)
#define DORVANE_CLONE_VOICE(NEED, HAS) \
    NEED(audio_url) \
    NEED(clone_voice_id) \
    HAS(tts_endpoint, DORVANE_SPEECH_URL "/tts/cln.php") \
    HAS(timeout, 100) \
    HAS(output_folder, "output/clone/") \
    HAS(base_url, DORVANE_BASE_URL)
#define DORVANE_TRANSCRIBE_AUDIO(NEED, HAS) \
    NEED(audio_url) \
    HAS(stt_endpoint, DORVANE_TRANSCRIPTION_URL "/transcribe") \
    HAS(timeout, 200)
#define DORVANE_GEN_MUSIC(NEED, HAS) \
    NEED(music_prompt)
#define DORVANE_SEP_MUSIC(NEED, HAS) \
    NEED(url)
#define DORVANE_RUN_MOD(NEED, HAS) \
    NEED(size)
// clang-format on

// The arguments of one call, bound to the parameters in parameter order,
// defaults filled in.
using Args = const nb::handle *;

#define DORVANE_INDEX_NEED(name) name,
#define DORVANE_INDEX_HAS(name, value) name,
#define DORVANE_ARGUMENT_NEED(name) nb::handle name = bound[index::name];
#define DORVANE_ARGUMENT_HAS(name, value) DORVANE_ARGUMENT_NEED(name)
#define DORVANE_PARAMETER_NEED(name) Parameter(#name),
#define DORVANE_PARAMETER_HAS(name, value) Parameter(#name, value),

// `Type` holds one call's arguments under the names the list `PARAMS` gives
// them (`args.text`), and makes the parameters the function table binds.
// `Parameter` is the function type's record of one (function.h), named only
// where the table is made.
#define DORVANE_ARGUMENTS(Type, PARAMS)                                                                      \
    struct Type {                                                                                            \
        struct index {                                                                                       \
            enum : std::size_t { PARAMS(DORVANE_INDEX_NEED, DORVANE_INDEX_HAS) count };                      \
        };                                                                                                   \
        static constexpr std::size_t count = index::count;                                                   \
        template <typename Parameter> static std::array<Parameter, count> parameters() {                     \
            return {PARAMS(DORVANE_PARAMETER_NEED, DORVANE_PARAMETER_HAS)};                                  \
        }                                                                                                    \
        Args bound;                                                                                          \
        PARAMS(DORVANE_ARGUMENT_NEED, DORVANE_ARGUMENT_HAS)                                                  \
    };

DORVANE_ARGUMENTS(CheckArgs, DORVANE_CHECK_PROJECT_STRUCTURE)
DORVANE_ARGUMENTS(TtsArgs, DORVANE_GENERATE_TTS)
DORVANE_ARGUMENTS(CloneArgs, DORVANE_CLONE_VOICE)
DORVANE_ARGUMENTS(TranscribeArgs, DORVANE_TRANSCRIBE_AUDIO)
DORVANE_ARGUMENTS(GenMusicArgs, DORVANE_GEN_MUSIC)
DORVANE_ARGUMENTS(SepMusicArgs, DORVANE_SEP_MUSIC)
DORVANE_ARGUMENTS(RunModArgs, DORVANE_RUN_MOD)

nb::object check_project_structure(const Namespace &ns, const CheckArgs &args);
nb::object generate_tts(const Namespace &ns, const TtsArgs &args);
nb::object clone_voice(const Namespace &ns, const CloneArgs &args);
nb::object transcribe_audio(const Namespace &ns, const TranscribeArgs &args);
nb::object gen_music(const Namespace &ns, const GenMusicArgs &args);
nb::object sep_music(const Namespace &ns, const SepMusicArgs &args);
nb::object run_mod(const Namespace &ns, const RunModArgs &args);

} // namespace dorvane
