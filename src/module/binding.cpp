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
Py_ssize_t find_param(const Function &function, PyObject *keyword) {
    // Names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t i = 0; i < function.count; ++i)
        if (function.params[i].name.ptr() == keyword)
            return i;
    if (!PyUnicode_Check(keyword))
        return -1;
    for (Py_ssize_t i = 0; i < function.count; ++i) {
        int equal = PyObject_RichCompareBool(keyword, function.params[i].name.ptr(), Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return -1;
}

} // namespace

bool bind_arguments(const Function &function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    nb::handle *bound) {
    Py_ssize_t count = function.count;
    if (nargs > count)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i)
        bound[i] = i < nargs ? nb::handle(args[i]) : nb::handle();

    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        Py_ssize_t index = find_param(function, PyTuple_GetItem(kwnames, k));
        if (index < 0 || bound[index].is_valid())
            return false;
        bound[index] = args[nargs + k];
    }

    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (bound[i].is_valid())
            continue;
        if (i < function.first_default)
            return false;
        bound[i] = function.params[i].value;
    }
    return true;
}

} // namespace dorvane
