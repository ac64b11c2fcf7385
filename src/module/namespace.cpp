// Call-time name lookup and the small value helpers the operations share.
#include "module/namespace.h"

namespace dorvane {

nb::object Namespace::operator[](const char *name) const {
    // A namespace cleared by the collector at shutdown has no names left.
    PyObject *value = globals_.is_valid() ? PyDict_GetItemString(globals_.ptr(), name) : nullptr;
    if (!value)
        value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (!value) {
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
    int result = PySequence_Contains(container.ptr(), nb::str(item).ptr());
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

nb::dict error_payload(nb::handle message) {
    nb::dict payload;
    payload["error"] = message;
    return payload;
}

} // namespace dorvane
