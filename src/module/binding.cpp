// Argument binding with the rules and the TypeError texts of CPython's own
// calls to a `def`: positionals, then keywords, then the count, then defaults.
#include <algorithm>
#include <string>
#include <vector>

#include "module/function.h"

namespace dorvane {
namespace {

[[noreturn]] void raise() { throw nb::python_error(); }

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 on, an unknown keyword comes with the closest parameter name, by
// the interpreter's own weighted edit distance over the UTF-8 bytes.
constexpr size_t move_cost = 2, case_cost = 1, max_string_size = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31))
        return move_cost;
    if (a == b)
        return 0;
    if ('A' <= a && a <= 'Z')
        a += 'a' - 'A';
    if ('A' <= b && b <= 'Z')
        b += 'a' - 'A';
    return a == b ? case_cost : move_cost;
}

size_t edit_distance(std::string_view a, std::string_view b, size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty())
        return (a.size() + b.size()) * move_cost;
    if (a.size() > max_string_size || b.size() > max_string_size)
        return max_cost + 1;
    if (b.size() < a.size())
        std::swap(a, b);
    if ((b.size() - a.size()) * move_cost > max_cost)
        return max_cost + 1;
    std::vector<size_t> row(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        row[i] = (i + 1) * move_cost;
    size_t result = 0;
    for (size_t bi = 0; bi < b.size(); ++bi) {
        size_t distance = result = bi * move_cost;
        size_t minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a.size(); ++ai) {
            size_t substitute = distance + substitution_cost(b[bi], a[ai]);
            distance = row[ai];
            size_t insert_delete = std::min(result, distance) + move_cost;
            result = std::min(insert_delete, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost)
            return max_cost + 1;
    }
    return result;
}

nb::object suggestion(const Function &function, nb::handle keyword) {
    Py_ssize_t size;
    const char *name = PyUnicode_AsUTF8AndSize(keyword.ptr(), &size);
    if (!name) {
        // Not encodable (a lone surrogate): no suggestion, as in the interpreter.
        PyErr_Clear();
        return nb::object();
    }
    nb::object best;
    size_t best_distance = SIZE_MAX;
    for (nb::handle param : function.params) {
        if (param.equal(keyword))
            continue;
        Py_ssize_t param_size;
        const char *param_name = PyUnicode_AsUTF8AndSize(param.ptr(), &param_size);
        size_t max_distance = std::min<size_t>((size + param_size + 3) * move_cost / 6,
                                               best_distance - 1);
        size_t distance = edit_distance({name, size_t(size)},
                                        {param_name, size_t(param_size)}, max_distance);
        if (distance > max_distance)
            continue;
        if (!best.is_valid() || distance < best_distance) {
            best = nb::borrow(param);
            best_distance = distance;
        }
    }
    return best;
}
#endif

[[noreturn]] void unexpected_keyword(const Function &function, nb::handle keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    if (nb::object near = suggestion(function, keyword); near.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     function.name.ptr(), keyword.ptr(), near.ptr());
        raise();
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                 function.name.ptr(), keyword.ptr());
    raise();
}

[[noreturn]] void too_many_positional(const Function &function, Py_ssize_t given) {
    Py_ssize_t count = nb::len(function.params);
    Py_ssize_t defaults = nb::len(function.defaults);
    nb::str takes = defaults
        ? nb::steal<nb::str>(PyUnicode_FromFormat("from %zd to %zd", count - defaults, count))
        : nb::steal<nb::str>(PyUnicode_FromFormat("%zd", count));
    bool plural = defaults || count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 function.name.ptr(), takes.ptr(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
    raise();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own listing.
[[noreturn]] void missing_arguments(const Function &function, const nb::list &missing) {
    size_t count = nb::len(missing);
    std::vector<nb::str> quoted;
    for (nb::handle name : missing)
        quoted.push_back(nb::repr(name));
    nb::str names = quoted[0];
    for (size_t i = 1; i < count; ++i)
        names = concat(names, i + 1 < count ? ", " : count == 2 ? " and " : ", and ", quoted[i]);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 function.name.ptr(), Py_ssize_t(count), count == 1 ? "" : "s", names.ptr());
    raise();
}

// Index of `keyword` among the parameters, or -1.
Py_ssize_t find_param(const Function &function, PyObject *keyword) {
    Py_ssize_t count = nb::len(function.params);
    // Names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(function.params.ptr(), i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(function.params.ptr(), i), Py_EQ);
        if (equal < 0)
            raise();
        if (equal)
            return i;
    }
    return -1;
}

} // namespace

void bind_arguments(const Function &function, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, nb::handle *bound) {
    Py_ssize_t count = nb::len(function.params);
    for (Py_ssize_t i = 0; i < count; ++i)
        bound[i] = nb::handle();
    for (Py_ssize_t i = 0; i < std::min(nargs, count); ++i)
        bound[i] = args[i];

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings",
                             function.name.ptr());
                raise();
            }
            Py_ssize_t index = find_param(function, keyword);
            if (index < 0)
                unexpected_keyword(function, keyword);
            if (bound[index].is_valid()) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             function.name.ptr(), keyword);
                raise();
            }
            bound[index] = args[nargs + k];
        }
    }

    if (nargs > count)
        too_many_positional(function, nargs);

    Py_ssize_t first_default = count - nb::len(function.defaults);
    nb::list missing;
    for (Py_ssize_t i = nargs; i < first_default; ++i)
        if (!bound[i].is_valid())
            missing.append(nb::handle(PyTuple_GET_ITEM(function.params.ptr(), i)));
    if (nb::len(missing))
        missing_arguments(function, missing);
    for (Py_ssize_t i = std::max(nargs, first_default); i < count; ++i)
        if (!bound[i].is_valid())
            bound[i] = nb::handle(PyTuple_GET_ITEM(function.defaults.ptr(), i - first_default));
}

} // namespace dorvane
