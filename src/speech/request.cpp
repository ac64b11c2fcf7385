// The handling pattern the remote speech operations share.
#include "speech/request.h"

namespace dorvane {

Exchange post_json(const Namespace &ns, nb::handle url, nb::handle body, nb::handle timeout,
                   const char *timed_out, const char *failed) {
    try {
        nb::object response =
            ns["requests"].attr("post")(url, nb::arg("json") = body, nb::arg("timeout") = timeout);
        response.attr("raise_for_status")();
        return {response, nb::object()};
    } catch (nb::python_error &e) {
        // A connect time-out is also a connection error to the client; the
        // time-out message wins because it is tested first.
        if (e.matches(ns["Timeout"]))
            return {nb::object(), error_payload(concat(timed_out, timeout, " seconds."))};
        if (e.matches(ns["RequestException"]))
            return {nb::object(),
                    error_payload(failed ? nb::str(failed) : concat("Request failed: ", e.value()))};
        throw;
    }
}

std::optional<nb::object> decode_json(nb::handle response) {
    try {
        return response.attr("json")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError))
            return std::nullopt;
        throw;
    }
}

bool is_client_failure(const Namespace &ns, const nb::python_error &error) {
    return error.matches(ns["RequestException"]) || error.matches(ns["Timeout"]);
}

} // namespace dorvane
