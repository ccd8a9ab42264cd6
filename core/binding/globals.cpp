// Global-name look-up and the small text helpers the bodies share.
#include "binding.hpp"

namespace lumora {

Ref lookup_global(PyObject* name)
{
    PyObject* value = nullptr;
    // The name's hash is cached in the interned string, so this is one probe.
    int found = PyDict_GetItemRef(process.module_globals, name, &value);
    if (found > 0) [[likely]]
        return Ref::steal(value);
    if (found < 0) PyErr_Clear();  // a failing __eq__ of a stray key must not hide the builtins
    if (PyObject_GetOptionalAttr(process.builtins_module, name, &value) < 0) return {};
    if (value) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref join_text(PyObject* prefix, PyObject* value)
{
    Ref text = Ref::steal(PyObject_Format(value, process.empty_str));
    if (!text) return {};
    if (PyUnicode_GET_LENGTH(text.get()) > PY_SSIZE_T_MAX - PyUnicode_GET_LENGTH(prefix)) [[unlikely]] {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return {};
    }
    return Ref::steal(PyUnicode_Concat(prefix, text.get()));
}

int expect_str_or_none(PyObject* value)
{
    if (value == Py_None || PyUnicode_CheckExact(value)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace lumora
