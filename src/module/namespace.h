// Call-time access to the module's namespace, the way a Python function reads its globals.
#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace dorvane {

// Every library function an operation uses is fetched through here when it
// is used, never kept: patching `dorvane.requests` or `dorvane.time` in a
// test or a host application takes effect on the next call.
class Namespace {
public:
    explicit Namespace(nb::handle globals) : globals_(globals) {}

    // The module attribute `name`, else the builtin of that name (so `open`
    // and `print` can be shadowed on the module), else NameError. `name` is
    // a string literal.
    nb::object operator[](const char *name) const;

private:
    nb::handle globals_;
};

// The interned text of the string literal `name`, made once per process.
nb::handle interned(const char *name);

// Truth value of `value`, as `if value:` would test it.
bool truthy(nb::handle value);

// `item in container`; `item` is a string literal.
bool contains(nb::handle container, const char *item);

nb::str format_part(nb::handle part);
inline nb::str format_part(const char *part) { return nb::str(part); }

// Concatenates the parts, each formatted as `format(part, "")` formats it:
// integers as digits, texts unchanged, exceptions as their message.
template <typename... Parts> nb::str concat(const Parts &...parts) {
    nb::list pieces;
    (pieces.append(format_part(parts)), ...);
    return nb::borrow<nb::str>(nb::str("").attr("join")(pieces));
}

// The function `name` defined by the Python text `source`, compiled by the
// interpreter that loaded the module. Where a plain `def` would raise (a
// binding or unpacking error), calling this lets the interpreter raise in its
// own words, which a module built once cannot know for every version.
nb::object python_def(const nb::str &source, const char *name);

// A payload holding only "error" = `message`.
nb::dict error_payload(nb::handle message);
inline nb::dict error_payload(const char *message) { return error_payload(nb::str(message)); }

} // namespace dorvane
