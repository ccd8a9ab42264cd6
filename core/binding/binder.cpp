// The one argument binder: every function's call is bound here from its
// description, into a fixed array of borrowed values, without building an
// argument tuple or dict.
#include <cstring>

#include "binding.hpp"

namespace lumora {

namespace {

const char kSubclassNote[] =
    "Note that Ostrel is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False.";

PyObject* fail_with_entry(const FuncDesc& f, int line)
{
    add_traceback_entry(f.tb_name, line, kFileName);
    return nullptr;
}

PyObject* count_error(const FuncDesc& f, Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name, "exactly",
                 expected, expected == 1 ? "" : "s", given);
    return fail_with_entry(f, f.line);
}

PyObject* missing_kwonly_error(const FuncDesc& f, int index)
{
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", f.name, f.pnames[index]);
    return fail_with_entry(f, f.line);
}

// Same hash, length, width and characters: what a str == str would decide,
// without the call.
bool same_text(PyObject* a, PyObject* b)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    if (PyObject_Hash(a) != PyObject_Hash(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * PyUnicode_KIND(a)) == 0;
}

// Index of the parameter in [begin, end) that `key` names; -1 for none, -2
// when a str subclass's comparison raised.
int match_keyword(const FuncDesc& f, PyObject* key, int begin, int end)
{
    for (int i = begin; i < end; ++i) {
        if (f.pnames[i] == key) return i;
    }
    if (PyUnicode_CheckExact(key)) {
        for (int i = begin; i < end; ++i) {
            if (same_text(f.pnames[i], key)) return i;
        }
        return -1;
    }
    for (int i = begin; i < end; ++i) {
        int eq = PyObject_RichCompareBool(key, f.pnames[i], Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// Binds each keyword of the call to a parameter from `first` on; parameters
// before `first` were bound positionally. Returns false with the error set.
bool bind_keywords(const FuncDesc& f, Bound& b, PyObject* const* kwvalues, PyObject* kwnames, int first)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            fail_with_entry(f, f.line);
            return false;
        }
        int i = match_keyword(f, key, first, f.nparams);
        if (i == -1 && first > 0) {
            int j = match_keyword(f, key, 0, first);
            if (j >= 0) i = -3;
            else if (j == -2) i = -2;
        }
        if (i >= 0 && b.v[i] != nullptr) i = -3;  // a keyword repeated in a raw vectorcall
        if (i == -2) {
            fail_with_entry(f, f.line);
            return false;
        }
        if (i == -3) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f.name, key);
            fail_with_entry(f, f.line);
            return false;
        }
        if (i == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, key);
            fail_with_entry(f, f.line);
            return false;
        }
        b.v[i] = kwvalues[k];
    }
    return true;
}

PyTypeObject* expected_type(Check c)
{
    switch (c) {
    case Check::Str:
    case Check::StrOrNone: return &PyUnicode_Type;
    case Check::Dict: return &PyDict_Type;
    case Check::List: return &PyList_Type;
    case Check::Any:
    case Check::Double: break;
    }
    return nullptr;
}

}  // namespace

PyObject* default_object(Default d)
{
    switch (d) {
    case Default::None: return Py_None;
    case Default::EmptyStr: return g.empty_str;
    case Default::Success: return g.str.success;
    case Default::Required: break;
    }
    return nullptr;
}

PyObject* bind_and_call(const FuncDesc& f, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    // 1. positional count; 2. keywords; 3. defaults; 4. missing arguments;
    // 5. float conversion; 6. exact-type tests; 7. the body.
    Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int n = f.nparams;
    Bound b;
    for (int i = 0; i < n; ++i) b.v[i] = nullptr;
    b.number = 0.0;

    if (!f.kwonly) {
        if (nkw == 0) {
            if (npos != n) return count_error(f, n, npos);
            for (int i = 0; i < n; ++i) b.v[i] = args[i];
        }
        else {
            if (npos > n) return count_error(f, n, npos);
            for (Py_ssize_t i = 0; i < npos; ++i) b.v[i] = args[i];
            if (!bind_keywords(f, b, args + npos, kwnames, static_cast<int>(npos))) return nullptr;
            for (int i = 0; i < n; ++i) {
                if (b.v[i] == nullptr) return count_error(f, n, i);
            }
        }
    }
    else {
        if (npos != 0) return count_error(f, 0, npos);
        if (nkw != 0 && !bind_keywords(f, b, args, kwnames, 0)) return nullptr;
        for (int i = 0; i < n; ++i) {
            if (b.v[i] == nullptr && f.params[i].def != Default::Required) b.v[i] = default_object(f.params[i].def);
        }
        for (int i = 0; i < n; ++i) {
            if (b.v[i] == nullptr) return missing_kwonly_error(f, i);
        }
    }

    for (int i = 0; i < n; ++i) {
        if (f.params[i].check != Check::Double) continue;
        PyObject* v = b.v[i];
        if (PyFloat_CheckExact(v)) {
            b.number = PyFloat_AS_DOUBLE(v);
        }
        else {
            b.number = PyFloat_AsDouble(v);
            if (b.number == -1.0 && PyErr_Occurred()) [[unlikely]]
                return fail_with_entry(f, f.conv_line);
        }
    }

    for (int i = 0; i < n; ++i) {
        const Check c = f.params[i].check;
        if (c == Check::Any || c == Check::Double) continue;
        PyObject* v = b.v[i];
        PyTypeObject* expected = expected_type(c);
        if (Py_TYPE(v) == expected || (c == Check::StrOrNone && v == Py_None)) [[likely]]
            continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     f.params[i].name, expected->tp_name, Py_TYPE(v)->tp_name);
        if (PyType_IsSubtype(Py_TYPE(v), expected)) {
            PyObject* exc = PyErr_GetRaisedException();
            Ref note = Ref::steal(PyUnicode_FromString(kSubclassNote));
            if (!note || !call_method(exc, g.str.add_note, {note.get()}))
                PyErr_Clear();  // the note is a courtesy; the TypeError is what matters
            PyErr_SetRaisedException(exc);
        }
        return nullptr;
    }

    return f.body(f, b);
}

}  // namespace lumora
