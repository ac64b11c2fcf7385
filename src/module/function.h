// The function type that gives the operations Python-function manners.
#pragma once

#include <initializer_list>

#include "module/dorvane.h"

namespace dorvane {

// The most parameters any operation has.
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
};

// Creates the function `name` over `operation` and binds it on `module`.
void add_function(nb::module_ &module, const char *name,
                  std::initializer_list<const char *> params,
                  nb::tuple defaults, Operation operation);

// Fills `bound` with the arguments of a call, by CPython's rules for a
// `def` of the same signature; false with its TypeError set when they do
// not fit.
bool bind_arguments(const Function &function, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, nb::handle *bound);

} // namespace dorvane
