// generate_tts: text-to-speech through the remote service, with the audio
// it produces downloaded into "output/tts" and relinked under the base URL.
#include "module/dorvane.h"
#include "module/installation.h"
#include "speech/atomic_file.h"
#include "speech/request.h"

namespace dorvane {
namespace {

// Texts go as they are; anything else as `str()` gives it.
nb::object as_text(nb::handle value) {
    return PyUnicode_Check(value.ptr()) ? nb::borrow(value) : nb::object(nb::str(value));
}

} // namespace

nb::object generate_tts(const Namespace &ns, const TtsArgs &args) {
    if (auto refused = installation_gate(ns))
        return std::move(*refused);

    nb::list fields;
    fields.append(args.text);
    fields.append(args.voice_id);
    fields.append(as_text(args.speed));
    fields.append("1");
    fields.append(as_text(args.pitch));
    fields.append("0");
    nb::dict post_data;
    post_data["data"] = fields;

    Exchange reply =
        post_json(ns, args.tts_endpoint, post_data, args.wait_time, "TTS server did not respond within ");
    if (reply.error.is_valid())
        return reply.error;
    std::optional<nb::object> decoded = decode_json(reply.response);
    if (!decoded)
        return error_payload("Response is not JSON");
    nb::object resp_json = *decoded;

    // An answer that is not an object has no `get`; its AttributeError is
    // the caller's to see.
    nb::object data = resp_json.attr("get")("data");
    if (!PyDict_Check(data.ptr()))
        return error_payload("Unexpected response format from TTS");

    nb::object os = ns["os"];
    nb::str output_folder("output/tts");
    os.attr("makedirs")(output_folder, nb::arg("exist_ok") = true);

    nb::object convert_results = data.attr("get")("convert_result", nb::list());
    if (!PyList_Check(convert_results.ptr()))
        return error_payload("convert_result is not a list");

    for (nb::handle item : convert_results) {
        if (!PyDict_Check(item.ptr()))
            continue;
        nb::object oss_url = item.attr("get")("oss_url");
        if (!truthy(oss_url))
            continue;
        nb::object filename = os.attr("path").attr("basename")(oss_url);
        nb::object local_path = os.attr("path").attr("join")(output_folder, filename);

        try {
            nb::object audio_resp = ns["requests"].attr("get")(oss_url, nb::arg("timeout") = args.wait_time);
            audio_resp.attr("raise_for_status")();
            AtomicFile f(ns, local_path);
            f.write(audio_resp.attr("content"));
            f.commit();
        } catch (nb::python_error &e) {
            // A failed download is reported in its own entry; the others
            // still download. File-system errors are not the client's and
            // leave the function.
            if (!is_client_failure(ns, e))
                throw;
            item["oss_url"] = concat("Error downloading file: ", e.value());
            continue;
        }

        nb::object full_url =
            args.base_url.attr("rstrip")("/") + nb::str("/") + local_path.attr("replace")("\\", "/");
        item["oss_url"] = full_url;
    }

    ns["time"].attr("sleep")(10);
    return resp_json;
}

} // namespace dorvane
