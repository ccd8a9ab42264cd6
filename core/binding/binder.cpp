// The one argument binder: every function's call is bound here from its
// description, into a fixed array of borrowed values, without building an
// argument tuple or dict.
#include <algorithm>
#include <cstring>

#include "binding.hpp"

namespace lumora {

namespace {

const char kSubclassNote[] =
    "Note that Ostrel is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
    "If you need to pass subclasses then set the 'annotation_typing' directive to False.";

// A message of a few ASCII pieces and numbers. PyErr_Format spends most of a
// failing call in its printf machinery (measured: about 2,000 of the 9,800
// instructions of a missing-argument error); these messages need none of it.
class Message {
public:
    Message& text(const char* s, size_t limit = 200)
    {
        size_t n = std::min(strnlen(s, limit), sizeof(buf_) - len_);
        std::memcpy(buf_ + len_, s, n);
        len_ += n;
        return *this;
    }
    Message& number(Py_ssize_t v)
    {
        char digits[24];
        int n = 0;
        size_t u = v < 0 ? static_cast<size_t>(-(v + 1)) + 1 : static_cast<size_t>(v);
        do digits[n++] = static_cast<char>('0' + u % 10);
        while ((u /= 10) != 0);
        if (v < 0) digits[n++] = '-';
        while (n > 0 && len_ < sizeof(buf_)) buf_[len_++] = digits[--n];
        return *this;
    }
    // Raises TypeError with the message; a type name that is not valid UTF-8
    // after the cut is mended rather than turned into a second error.
    void raise_type_error() const
    {
        PyObject* msg = PyUnicode_DecodeUTF8(buf_, static_cast<Py_ssize_t>(len_), "replace");
        if (!msg) return;
        PyErr_SetObject(PyExc_TypeError, msg);
        Py_DECREF(msg);
    }

private:
    char buf_[768];
    size_t len_ = 0;
};

// Fails f's binding: the traceback entry sits on the definition line.
Failed binding_failed(const FuncDesc& f) { return failed_at(f, f.line); }

int count_error(const FuncDesc& f, Py_ssize_t expected, Py_ssize_t given)
{
    Message()
        .text(f.name)
        .text("() takes exactly ")
        .number(expected)
        .text(expected == 1 ? " positional argument (" : " positional arguments (")
        .number(given)
        .text(" given)")
        .raise_type_error();
    return binding_failed(f);
}

int missing_kwonly_error(const FuncDesc& f, int index)
{
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", f.name, f.pnames[index]);
    return binding_failed(f);
}

int keyword_error(const FuncDesc& f, const char* what, PyObject* key)
{
    PyErr_Format(PyExc_TypeError, "%s() got %s '%U'", f.name, what, key);
    return binding_failed(f);
}

// Same length, same hash, then same characters: the keyword rule, cheapest
// test first (names' hashes are cached, so the second rarely computes).
bool same_key(PyObject* a, PyObject* b)
{
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyObject_Hash(a) == PyObject_Hash(b) &&
           same_text(a, b);
}

// Finds the parameter in [begin, end) that `key` names: 1 with its index in
// *index, 0 for none, -1 when a str subclass's comparison raised.
int match_keyword(const FuncDesc& f, PyObject* key, int begin, int end, int* index)
{
    for (int i = begin; i < end; ++i) {
        if (f.pnames[i] == key) {
            *index = i;
            return 1;
        }
    }
    if (PyUnicode_CheckExact(key)) {
        for (int i = begin; i < end; ++i) {
            if (same_key(f.pnames[i], key)) {
                *index = i;
                return 1;
            }
        }
        return 0;
    }
    for (int i = begin; i < end; ++i) {
        int eq = PyObject_RichCompareBool(key, f.pnames[i], Py_EQ);
        if (eq < 0) return -1;
        if (eq) {
            *index = i;
            return 1;
        }
    }
    return 0;
}

// Binds each keyword of the call to a parameter from `first` on; parameters
// before `first` were bound positionally. -1 on failure.
int bind_keywords(const FuncDesc& f, Bound& b, PyObject* const* kwvalues, PyObject* kwnames, int first)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
            return binding_failed(f);
        }
        int i = -1;
        int found = match_keyword(f, key, first, f.params.count, &i);
        if (found < 0) return binding_failed(f);
        if (found == 0 && first > 0) {
            int already = match_keyword(f, key, 0, first, &i);
            if (already < 0) return binding_failed(f);
            if (already > 0) return keyword_error(f, "multiple values for keyword argument", key);
        }
        if (found == 0) return keyword_error(f, "an unexpected keyword argument", key);
        // A keyword repeated in a raw vectorcall.
        if (b.v[i] != nullptr) return keyword_error(f, "multiple values for keyword argument", key);
        b.v[i] = kwvalues[k];
    }
    return 0;
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

// The failed exact-type test. No traceback entry: the caller passed the
// wrong type, no statement of ours failed.
PyObject* type_error(const FuncDesc& f, int i, PyTypeObject* expected, PyObject* value)
{
    Message()
        .text("Argument '")
        .text(f.params[i].name)
        .text("' has incorrect type (expected ")
        .text(expected->tp_name)
        .text(", got ")
        .text(Py_TYPE(value)->tp_name)
        .text(")")
        .raise_type_error();
    if (PyType_IsSubtype(Py_TYPE(value), expected)) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal(PyUnicode_FromString(kSubclassNote));
        if (!note || !call_method(exc, process.str.add_note, {note.get()}))
            PyErr_Clear();  // the note is a courtesy; the TypeError is what matters
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

// Every call with keywords, and keyword-only functions: matching, defaults
// and the missing-argument errors. -1 on failure.
int bind_general(const FuncDesc& f, Bound& b, PyObject* const* args, Py_ssize_t npos, PyObject* kwnames)
{
    const int n = f.params.count;
    for (int i = 0; i < n; ++i) b.v[i] = nullptr;
    const bool has_keywords = kwnames && PyTuple_GET_SIZE(kwnames) != 0;
    if (!f.kwonly) {
        if (npos > n || (!has_keywords && npos != n)) return count_error(f, n, npos);
        for (Py_ssize_t i = 0; i < npos; ++i) b.v[i] = args[i];
        if (has_keywords && bind_keywords(f, b, args + npos, kwnames, static_cast<int>(npos)) < 0) return -1;
        for (int i = 0; i < n; ++i) {
            if (b.v[i] == nullptr) return count_error(f, n, i);
        }
        return 0;
    }
    if (npos != 0) return count_error(f, 0, npos);
    if (has_keywords && bind_keywords(f, b, args, kwnames, 0) < 0) return -1;
    for (int i = 0; i < n; ++i) {
        if (b.v[i] == nullptr && f.params[i].def != Default::Required) b.v[i] = default_object(f.params[i].def);
    }
    for (int i = 0; i < n; ++i) {
        if (b.v[i] == nullptr) return missing_kwonly_error(f, i);
    }
    return 0;
}

}  // namespace

PyObject* default_object(Default d)
{
    switch (d) {
    case Default::None: return Py_None;
    case Default::EmptyStr: return process.empty_str;
    case Default::Success: return process.str.success;
    case Default::Required: break;
    }
    return nullptr;
}

int prepare_binding(FuncDesc& f)
{
    const int written =
        PyOS_snprintf(f.traceback_name, sizeof f.traceback_name, "%s.%s", kModuleName, f.tb_name ? f.tb_name : f.name);
    if (written < 0 || static_cast<size_t>(written) >= sizeof f.traceback_name) {
        PyErr_Format(PyExc_SystemError, "traceback name of %s is too long", f.name);
        return -1;
    }
    f.ntests = 0;
    f.double_index = -1;
    for (int i = 0; i < f.params.count; ++i) {
        const Check c = f.params[i].check;
        if (c == Check::Double) f.double_index = i;
        PyTypeObject* expected = expected_type(c);
        if (expected)
            f.tests[f.ntests++] = FuncDesc::TypeTest{expected, static_cast<unsigned char>(i), c == Check::StrOrNone};
    }
    for (int i = 0; i < f.params.count; ++i) {
        if (!f.pnames[i] && !(f.pnames[i] = PyUnicode_InternFromString(f.params[i].name))) return -1;
    }
    if (!f.qualname_obj && !(f.qualname_obj = PyUnicode_InternFromString(f.qualified_name()))) return -1;
    return 0;
}

PyObject* bind_and_call(const FuncDesc& f, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    // 1. positional count; 2. keywords; 3. defaults; 4. missing arguments
    // (bind_general, except for the common all-positional call);
    // 5. float conversion; 6. exact-type tests; 7. the body.
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    Bound b;
    if (!f.kwonly && !kwnames && npos == f.params.count) [[likely]] {
        for (int i = 0; i < f.params.count; ++i) b.v[i] = args[i];
    } else if (bind_general(f, b, args, npos, kwnames) < 0) {
        return nullptr;
    }

    b.number = 0.0;
    if (f.double_index >= 0) {
        PyObject* v = b.v[f.double_index];
        if (PyFloat_CheckExact(v)) {
            b.number = PyFloat_AS_DOUBLE(v);
        } else {
            b.number = PyFloat_AsDouble(v);
            if (b.number == -1.0 && PyErr_Occurred()) [[unlikely]]
                return failed_at(f, f.conv_line);
        }
    }

    for (int k = 0; k < f.ntests; ++k) {
        const FuncDesc::TypeTest& t = f.tests[k];
        PyObject* v = b.v[t.index];
        if (Py_TYPE(v) == t.type || (t.allow_none && v == Py_None)) [[likely]]
            continue;
        return type_error(f, t.index, t.type, v);
    }

    return f.body(f, b);
}

}  // namespace lumora
