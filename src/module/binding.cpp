// Argument binding by the rules of CPython's own calls to a `def`:
// positionals, then keywords, then the defaults of what is still unfilled.
//
// Only the binding that succeeds is done here. A call that does not bind is
// handed to the function's twin, a plain `def` of the same signature, so the
// interpreter that loaded the module words the TypeError itself, whatever
// its version.
#include "module/function.h"

namespace dorvane {
namespace {

// Index of `keyword` among the parameters; -1 when none has its name, -2
// when comparing raised.
Py_ssize_t find_param(PyObject *params, Py_ssize_t count, PyObject *keyword) {
    // Names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GetItem(params, i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(keyword, PyTuple_GetItem(params, i), Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

} // namespace

bool bind_arguments(const Function &function, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, nb::handle *bound) {
    PyObject *params = function.params.ptr();
    Py_ssize_t count = PyTuple_Size(params);
    if (nargs > count)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i)
        bound[i] = i < nargs ? nb::handle(args[i]) : nb::handle();

    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GetItem(kwnames, k);
        if (!PyUnicode_Check(keyword))
            return false;
        Py_ssize_t index = find_param(params, count, keyword);
        if (index < 0 || bound[index].is_valid())
            return false;
        bound[index] = args[nargs + k];
    }

    PyObject *defaults = function.defaults.ptr();
    Py_ssize_t first_default = count - PyTuple_Size(defaults);
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (bound[i].is_valid())
            continue;
        if (i < first_default)
            return false;
        bound[i] = PyTuple_GetItem(defaults, i - first_default);
    }
    return true;
}

} // namespace dorvane
