// The function type that gives the operations Python-function manners.
#pragma once

#include <cstddef>

#include "module/dorvane.h"

namespace dorvane {

// The most parameters any operation has: the size of the array that one
// call's bound arguments live in.
constexpr Py_ssize_t max_params = 7;

// One operation as the interpreter sees it: a callable with a name, a module,
// parameters, defaults and a signature, bound like a `def` of that signature.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Operation operation;
    nb::str name;
    nb::tuple params;   // interned parameter names, in order
    nb::tuple defaults; // of the trailing parameters, in parameter order
    nb::dict globals;   // the namespace of the module that defines it
    // The items of `params` and `defaults`, borrowed from them and laid out
    // for the binder: under the stable ABI each tuple access is a call.
    Py_ssize_t count, first_default;
    PyObject *param_names[max_params];
    PyObject *default_values[max_params]; // by parameter index, from first_default on
    // A plain `def` of the same signature and name, which a call that does
    // not bind is handed to, so the interpreter raises its own TypeError.
    nb::object twin;
};

namespace detail {
void add_function(nb::module_ &module, const char *name, const char *const *params,
                  size_t count, nb::tuple defaults, Operation operation);
} // namespace detail

// Creates the function `name` over `operation` and binds it on `module`. The
// parameter count is checked against the binding array where the table is
// written, so an entry that does not fit fails to compile.
template <size_t Count>
void add_function(nb::module_ &module, const char *name, const char *const (&params)[Count],
                  nb::tuple defaults, Operation operation) {
    static_assert(Count <= size_t(max_params), "more parameters than max_params holds");
    detail::add_function(module, name, params, Count, std::move(defaults), operation);
}

// Fills `bound` with the arguments of a call when they fit the parameters by
// CPython's rules for a `def` of the same signature. False when they do not
// fit; then a Python error is set only if comparing a keyword raised.
bool bind_arguments(const Function &function, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, nb::handle *bound);

} // namespace dorvane
