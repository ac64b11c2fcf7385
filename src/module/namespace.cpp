// Call-time name lookup and the small value helpers the operations share.
#include <unordered_map>

#include <nanobind/eval.h>

#include "module/namespace.h"

namespace dorvane {

nb::handle interned(const char *name) {
    // Keyed by the literal's address: a lookup then builds and hashes no text,
    // and the dictionaries mostly compare their keys by identity.
    static std::unordered_map<const char *, nb::handle> names;
    auto [entry, fresh] = names.try_emplace(name);
    if (fresh) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (!text) {
            names.erase(entry);
            throw nb::python_error();
        }
        entry->second = text; // kept for the life of the process
    }
    return entry->second;
}

nb::object Namespace::operator[](const char *name) const {
    nb::handle key = interned(name);
    // A namespace cleared by the collector at shutdown has no names left.
    PyObject *value = globals_.is_valid() ? PyDict_GetItemWithError(globals_.ptr(), key.ptr()) : nullptr;
    if (!value && !PyErr_Occurred())
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

bool contains(nb::handle container, const char *item) {
    int result = PySequence_Contains(container.ptr(), interned(item).ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

nb::str format_part(nb::handle part) {
    PyObject *text = PyObject_Format(part.ptr(), nb::str("").ptr());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::object python_def(const nb::str &source, const char *name) {
    nb::dict scope;
    scope["__name__"] = "dorvane";
    scope["__builtins__"] = nb::module_::import_("builtins");
    nb::exec(source, scope);
    return scope[name];
}

nb::dict error_payload(nb::handle message) {
    nb::dict payload;
    payload["error"] = message;
    return payload;
}

} // namespace dorvane
