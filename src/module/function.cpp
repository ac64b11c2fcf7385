// The function type that gives the operations Python-function manners.
//
// Modelled on CPython's own function object: a plain type with a getset table
// for the attributes that `inspect` and `functools` read, a vectorcall slot,
// and the one place where C++ exceptions become Python errors.
#include <new>
#include <string>
#include <typeinfo>

#include "module/function.h"

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the member flags live under older names, outside Python.h.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace dorvane {
namespace {

Function *as_function(PyObject *self) { return reinterpret_cast<Function *>(self); }

// Runs `body`, turning any C++ exception into the matching Python error.
template <typename Body> PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in dorvane");
    }
    return nullptr;
}

// A call that did not bind goes to the twin, whose binding raises the
// interpreter's own TypeError for it.
PyObject *refuse_binding(const Function &function, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (PyErr_Occurred())
        return nullptr;
    nb::object result = nb::steal(PyObject_Vectorcall(function.twin.ptr(), args, nargsf, kwnames));
    if (result.is_valid())
        PyErr_Format(PyExc_SystemError, "%U() bound arguments its twin refused", function.name.ptr());
    return nullptr;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        const Function &function = *as_function(self);
        nb::handle bound[max_params];
        Py_ssize_t nargs = Py_ssize_t(nargsf & ~size_t(PY_VECTORCALL_ARGUMENTS_OFFSET));
        if (!bind_arguments(function, args, nargs, kwnames, bound))
            return refuse_binding(function, args, nargsf, kwnames);
        return function.operation(Namespace(function.globals), bound).release().ptr();
    });
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_function(self)->~Function();
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// The module's namespace holds the function and the function holds the
// namespace, as with any Python function; the collector must see that cycle.
int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->globals.ptr());
    Py_VISIT(as_function(self)->twin.ptr());
    return 0;
}

// What is cleared reads as None afterwards, as on CPython's own functions.
// The twin stays: it refers to nothing of ours, and a call that fails to
// bind still needs it.
int function_clear(PyObject *self) {
    as_function(self)->globals.reset();
    return 0;
}

PyObject *new_ref_or_none(nb::handle value) { return Py_NewRef(value.is_valid() ? value.ptr() : Py_None); }

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name.ptr(), self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    // Bound to instances like a `def` stored on a class.
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return guarded([&] {
        return nb::module_::import_("types")
            .attr("MethodType")(nb::handle(self), nb::handle(obj))
            .release()
            .ptr();
    });
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name.ptr()); }

PyObject *get_module(PyObject *self, void *) {
    const Function &function = *as_function(self);
    if (!function.globals.is_valid())
        Py_RETURN_NONE;
    return guarded([&] { return Namespace(function.globals)["__name__"].release().ptr(); });
}

PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

// The trailing parameters' defaults as a tuple, or None when there are none,
// as for a `def`. Made once, for the twin, when the function is made.
nb::object defaults_of(const Function &function) {
    if (function.first_default == function.count)
        return nb::none();
    nb::list defaults;
    for (Py_ssize_t i = function.first_default; i < function.count; ++i)
        defaults.append(function.params[i].value);
    PyObject *tuple = PyList_AsTuple(defaults.ptr());
    if (!tuple)
        throw nb::python_error();
    return nb::steal(tuple);
}

// The twin's tuple: the same object on every read, as on a `def`.
PyObject *get_defaults(PyObject *self, void *) {
    return guarded([&] { return nb::object(as_function(self)->twin.attr("__defaults__")).release().ptr(); });
}

PyObject *get_globals(PyObject *self, void *) { return new_ref_or_none(as_function(self)->globals); }

PyObject *get_signature(PyObject *self, void *) {
    return guarded([&] {
        const Function &function = *as_function(self);
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        nb::list parameters;
        for (Py_ssize_t i = 0; i < function.count; ++i) {
            const Parameter &param = function.params[i];
            if (param.value.is_valid())
                parameters.append(parameter(param.name, kind, nb::arg("default") = param.value));
            else
                parameters.append(parameter(param.name, kind));
        }
        return inspect.attr("Signature")(parameters).release().ptr();
    });
}

// Pickled by reference, like any module-level function.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->name.ptr()); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "dorvane.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// The type lives as long as the process, like the module that uses it.
PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
        PyObject *made = PyType_FromSpec(&function_spec);
        if (!made)
            throw nb::python_error();
        return reinterpret_cast<PyTypeObject *>(made);
    }();
    return type;
}

} // namespace

void detail::add_function(nb::module_ &module, const char *name, const Parameter *params, size_t count,
                          Operation operation) {
    Py_ssize_t first_default = Py_ssize_t(count);
    std::string source = std::string("def ") + name + "(";
    for (size_t i = 0; i < count; ++i) {
        if (params[i].value.is_valid() && first_default == Py_ssize_t(count))
            first_default = Py_ssize_t(i);
        else if (!params[i].value.is_valid() && first_default < Py_ssize_t(count)) {
            PyErr_SetString(PyExc_SyntaxError,
                            "parameter without a default follows parameter with a default");
            throw nb::python_error();
        }
        source += std::string(i ? ", " : "") + params[i].name.c_str();
    }
    source += "): pass\n";

    PyObject *self = PyType_GenericAlloc(function_type(), 0);
    if (!self)
        throw nb::python_error();
    nb::object owner = nb::steal(self);
    // The allocation is zeroed, which is an empty handle for each member;
    // from here on dealloc runs their destructors.
    Function &function = *as_function(self);
    new (&function.name) nb::str(nb::borrow<nb::str>(interned(name)));
    new (&function.globals) nb::dict(nb::borrow<nb::dict>(module.attr("__dict__")));
    function.count = Py_ssize_t(count);
    function.first_default = first_default;
    for (size_t i = 0; i < count; ++i)
        new (&function.params[i]) Parameter(params[i]);
    new (&function.twin) nb::object(python_def(nb::str(source.c_str()), name));
    function.twin.attr("__defaults__") = defaults_of(function);
    function.vectorcall = function_vectorcall;
    function.operation = operation;
    module.attr(name) = owner;
}

} // namespace dorvane
