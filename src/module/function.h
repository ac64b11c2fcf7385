// The function type that gives the operations Python-function manners.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "module/dorvane.h"

namespace dorvane {

// The most parameters any operation has: the size of the array that one
// call's bound arguments live in.
constexpr Py_ssize_t max_params = 7;

// One parameter: its name, and its default when it has one, as `speed=1`
// in a `def`. An operation's list (dorvane.h) makes these, and the function
// keeps them as its one record of the signature, which the binder,
// `__defaults__`, `__signature__` and the twin all read.
struct Parameter {
    nb::str name;     // interned, so call sites' keywords match by identity
    nb::object value; // the default; empty for a parameter without one

    Parameter() = default;
    Parameter(const char *name) : name(nb::borrow<nb::str>(interned(name))) {}
    template <typename T>
    Parameter(const char *name, T &&value)
        : name(nb::borrow<nb::str>(interned(name))), value(nb::cast(std::forward<T>(value))) {}
};

// An operation as the function calls it, with the arguments as the binder
// lays them out.
using Operation = nb::object (*)(const Namespace &ns, Args args);

// One operation as the interpreter sees it: a callable with a name, a module,
// parameters, defaults and a signature, bound like a `def` of that signature.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    Operation operation;
    nb::str name;
    nb::dict globals; // the namespace of the module that defines it
    Py_ssize_t count, first_default;
    Parameter params[max_params];
    // A plain `def` made from the same parameters, which a call that does not
    // bind is handed to, so the interpreter raises its own TypeError.
    nb::object twin;
};

namespace detail {
void add_function(nb::module_ &module, const char *name, const Parameter *params, size_t count,
                  Operation operation);

template <typename Arguments> struct ArgumentsOf;
template <typename Arguments> struct ArgumentsOf<nb::object (*)(const Namespace &, const Arguments &)> {
    using type = Arguments;
};
} // namespace detail

// Creates the function `name` over `operation` and binds it on `module`,
// its parameters made from the list its arguments are read by (dorvane.h).
// The parameter count is checked against the binding array here, so a list
// that does not fit fails to compile; a parameter without a default after
// one with a default is refused as a `def` refuses it.
template <auto operation> void add_function(nb::module_ &module, const char *name) {
    using Arguments = typename detail::ArgumentsOf<decltype(operation)>::type;
    static_assert(Arguments::count <= size_t(max_params), "more parameters than max_params holds");
    std::array<Parameter, Arguments::count> params = Arguments::template parameters<Parameter>();
    detail::add_function(module, name, params.data(), params.size(),
                         [](const Namespace &ns, Args args) { return operation(ns, Arguments{args}); });
}

// Fills `bound` with the arguments of a call when they fit the parameters by
// CPython's rules for a `def` of the same signature. False when they do not
// fit; then a Python error is set only if comparing a keyword raised.
bool bind_arguments(const Function &function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    nb::handle *bound);

} // namespace dorvane
