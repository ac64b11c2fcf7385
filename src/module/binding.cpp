// Argument binding with the rules and the TypeError texts of CPython's own
// calls to a `def`: positionals, then keywords, then the count, then defaults.
#include <algorithm>
#include <string_view>
#include <vector>

#include "module/function.h"

namespace dorvane {
namespace {

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

// The error helpers below set the TypeError and return, as the interpreter
// does: a wrong call is common in a web handler and must stay as cheap as
// one to a `def`, so no C++ exception is thrown for it.
void unexpected_keyword(const Function &function, nb::handle keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    if (nb::object near = suggestion(function, keyword); near.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     function.name.ptr(), keyword.ptr(), near.ptr());
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                 function.name.ptr(), keyword.ptr());
}

void too_many_positional(const Function &function, Py_ssize_t given) {
    Py_ssize_t count = PyTuple_GET_SIZE(function.params.ptr());
    Py_ssize_t defaults = PyTuple_GET_SIZE(function.defaults.ptr());
    if (defaults)
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     function.name.ptr(), count - defaults, count, given,
                     given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     function.name.ptr(), count, count == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own listing.
void missing_arguments(const Function &function, const std::vector<nb::handle> &missing) {
    size_t count = missing.size();
    nb::str names = nb::repr(missing[0]);
    for (size_t i = 1; i < count; ++i)
        names = concat(names, i + 1 < count ? ", " : count == 2 ? " and " : ", and ",
                       nb::repr(missing[i]));
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 function.name.ptr(), Py_ssize_t(count), count == 1 ? "" : "s", names.ptr());
}

// Index of `keyword` among the parameters, -1 when none has its name, -2
// when comparing raised.
Py_ssize_t find_param(const Function &function, PyObject *keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(function.params.ptr());
    // Names from call sites are interned, so identity almost always decides.
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyTuple_GET_ITEM(function.params.ptr(), i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(function.params.ptr(), i), Py_EQ);
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
    Py_ssize_t count = PyTuple_GET_SIZE(function.params.ptr());
    for (Py_ssize_t i = 0; i < count; ++i)
        bound[i] = i < nargs ? nb::handle(args[i]) : nb::handle();

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", function.name.ptr());
            return false;
        }
        Py_ssize_t index = find_param(function, keyword);
        if (index == -2)
            return false;
        if (index == -1) {
            unexpected_keyword(function, keyword);
            return false;
        }
        if (bound[index].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         function.name.ptr(), keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }

    if (nargs > count) {
        too_many_positional(function, nargs);
        return false;
    }

    Py_ssize_t first_default = count - PyTuple_GET_SIZE(function.defaults.ptr());
    std::vector<nb::handle> missing;
    for (Py_ssize_t i = nargs; i < first_default; ++i)
        if (!bound[i].is_valid())
            missing.push_back(PyTuple_GET_ITEM(function.params.ptr(), i));
    if (!missing.empty()) {
        missing_arguments(function, missing);
        return false;
    }
    for (Py_ssize_t i = std::max(nargs, first_default); i < count; ++i)
        if (!bound[i].is_valid())
            bound[i] = PyTuple_GET_ITEM(function.defaults.ptr(), i - first_default);
    return true;
}

} // namespace dorvane
