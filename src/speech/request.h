// The handling pattern the remote speech operations share: one POST with its
// two failure messages, then the decoding of the answer.
#pragma once

#include <optional>

#include "module/namespace.h"

namespace dorvane {

// A POST either yields the service's response or the error payload that the
// operation returns in its place.
struct Exchange {
    nb::object response;
    nb::object error;
};

// Posts `body` as JSON to `url` with the client time-out `timeout` and checks
// the status. A client time-out becomes the error `timed_out` + `timeout` +
// " seconds."; any other client failure, error statuses included, becomes
// "Request failed: " + the client's text, or `failed` when given. Anything
// else the client raises goes on to the caller.
Exchange post_json(const Namespace &ns, nb::handle url, nb::handle body, nb::handle timeout,
                   const char *timed_out, const char *failed = nullptr);

// The answer decoded as JSON, or nothing when its body is not JSON.
std::optional<nb::object> decode_json(nb::handle response);

// Whether `error` is one of the HTTP client's own failures.
bool is_client_failure(const Namespace &ns, const nb::python_error &error);

} // namespace dorvane
