// clone_voice: voice cloning through the remote service, with the cloned
// audio streamed into the output folder and relinked under the base URL.
#include "module/dorvane.h"
#include "module/installation.h"
#include "speech/atomic_file.h"
#include "speech/request.h"

namespace dorvane {
namespace {

// Streams the cloned audio at `returned_url` into `output_folder` and returns
// the link to the local copy. Any failure on the way is the caller's to map.
nb::object download(const Namespace &ns, nb::handle returned_url, nb::handle output_folder,
                    nb::handle base_url, nb::handle timeout) {
    nb::object path = ns["os"].attr("path");
    nb::object filename = path.attr("basename")(returned_url);
    nb::object local_filepath = path.attr("join")(output_folder, filename);

    // Bounded like the request itself, so a stalled transfer cannot hold a
    // web worker forever.
    nb::object r =
        ns["requests"].attr("get")(returned_url, nb::arg("stream") = true, nb::arg("timeout") = timeout);
    struct Release {
        nb::handle response;
        ~Release() {
            // Nothing may leave a destructor that runs during unwinding.
            try {
                response.attr("close")();
            } catch (...) {
            }
        }
    } release{r};

    r.attr("raise_for_status")();
    AtomicFile f(ns, local_filepath);
    for (nb::handle chunk : r.attr("iter_content")(nb::arg("chunk_size") = 8192))
        f.write(chunk);
    f.commit();

    nb::object link =
        path.attr("join")(base_url.attr("rstrip")("/"), output_folder.attr("strip")("/"), filename);
    return link.attr("replace")("\\", "/");
}

} // namespace

nb::object clone_voice(const Namespace &ns, const CloneArgs &args) {
    // Created before the gate runs: callers have always found the folder in
    // place after any call, a refused one included.
    ns["os"].attr("makedirs")(args.output_folder, nb::arg("exist_ok") = true);

    if (auto refused = installation_gate(ns))
        return std::move(*refused);

    nb::dict payload;
    payload["url"] = args.audio_url;
    payload["id"] = args.clone_voice_id;

    Exchange reply =
        post_json(ns, args.tts_endpoint, payload, args.timeout, "Server did not respond within ");
    if (reply.error.is_valid())
        return reply.error;
    std::optional<nb::object> decoded = decode_json(reply.response);
    if (!decoded) {
        nb::dict not_json = error_payload("Response is not JSON");
        not_json["raw_response"] = reply.response.attr("text");
        return not_json;
    }
    nb::object resp_json = *decoded;

    nb::object returned_url = resp_json.attr("get")("data");
    if (truthy(returned_url) && PyUnicode_Check(returned_url.ptr())) {
        returned_url = returned_url.attr("replace")(" ", "%20");
        try {
            resp_json["data"] = download(ns, returned_url, args.output_folder, args.base_url, args.timeout);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return error_payload("Failed to cloned audio");
        }
    }
    return resp_json;
}

} // namespace dorvane
