// Call-time name lookup and the small value helpers the operations share.
#include <unordered_map>

#include <nanobind/eval.h>

#include "module/namespace.h"

namespace dorvane {

nb::handle interned(const char *name) {
    // Keyed by the literal's address: a lookup then builds and hashes no text,
    // and the dictionaries mostly compare their keys by identity. Each thread
    // reads a table of its own, so a lookup takes no lock and touches no
    // memory another core writes; a literal the thread has not met yet is
    // taken from the process's table, under its lock, where each text is
    // made once.
    thread_local std::unordered_map<const char *, nb::handle> seen;
    if (auto found = seen.find(name); found != seen.end())
        return found->second;

    static nb::ft_mutex lock;
    static std::unordered_map<const char *, nb::handle> names;
    nb::handle text;
    {
        nb::ft_lock_guard guard(lock);
        auto [entry, fresh] = names.try_emplace(name);
        if (fresh) {
            PyObject *made = PyUnicode_InternFromString(name);
            if (!made) {
                names.erase(entry);
                throw nb::python_error();
            }
            entry->second = made; // kept for the life of the process
        }
        text = entry->second;
    }
    seen.emplace(name, text);
    return text;
}

namespace {

// `dict[key]` as a new reference, or an empty object when the key is absent.
// Without the interpreter lock another thread may replace the entry (a patch
// undone) and drop the value between a borrowed lookup and taking a
// reference to it; the lookup that returns a reference leaves no such gap.
nb::object dict_get(nb::handle dict, nb::handle key) {
#ifdef Py_GIL_DISABLED
    PyObject *value;
    if (PyDict_GetItemRef(dict.ptr(), key.ptr(), &value) < 0)
        throw nb::python_error();
    return nb::steal(value);
#else
    PyObject *value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    return nb::borrow(value);
#endif
}

} // namespace

nb::object Namespace::operator[](const char *name) const {
    nb::handle key = interned(name);
    nb::object value;
    // A namespace cleared by the collector at shutdown has no names left.
    if (globals_.is_valid())
        value = dict_get(globals_, key);
    if (!value.is_valid())
        value = dict_get(PyEval_GetBuiltins(), key);
    if (!value.is_valid()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return value;
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
