// transcribe_audio: the text of an audio link, from the remote transcription service.
#include "module/dorvane.h"
#include "module/installation.h"
#include "speech/request.h"

namespace dorvane {

nb::object transcribe_audio(const Namespace &ns, const TranscribeArgs &args) {
    if (auto refused = installation_gate(ns))
        return std::move(*refused);

    nb::dict payload;
    payload["url"] = args.audio_url;

    Exchange reply = post_json(ns, args.stt_endpoint, payload, args.timeout, "Server did not respond within ",
                               "Request failed: GPU Overload");
    if (reply.error.is_valid())
        return reply.error;
    std::optional<nb::object> resp_json = decode_json(reply.response);
    if (!resp_json)
        return error_payload("Response is not JSON");

    nb::object transcription = resp_json->attr("get")("transcription", "No transcription found");

    ns["time"].attr("sleep")(10);

    nb::dict result;
    result["transcription"] = transcription.attr("strip")();
    return result;
}

} // namespace dorvane
