// Small helpers shared by the store's function bodies.
#pragma once

#include <initializer_list>

#include "store.hpp"

namespace lumora {

// Truth value of a call's result: -1 with the exception kept when the call
// failed or the truth test raised.
inline int truth(const Ref& r) { return r ? PyObject_IsTrue(r.get()) : -1; }

// Joins exact-str pieces in one allocation.
inline Ref concat(std::initializer_list<PyObject*> parts)
{
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n > PY_SSIZE_T_MAX - len) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return Ref();
        }
        len += n;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
        if (m > maxchar) maxchar = m;
    }
    Ref out = Ref::steal(PyUnicode_New(len, maxchar));
    if (!out) return out;
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n == 0) continue;
        if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) return Ref();
        at += n;
    }
    return out;
}

// log().<level>(message). The logger is fetched before the message is built,
// so a failing logger never formats anything.
template <class Build>
bool log_message(PyObject* level, Build&& build)
{
    Ref log = lookup_global(g.str.log);
    if (!log) return false;
    Ref logger = Ref::steal(PyObject_CallNoArgs(log.get()));
    if (!logger) return false;
    Ref message = build();
    if (!message) return false;
    return static_cast<bool>(call_method(logger.get(), level, {message.get()}));
}

// Reads one attribute as PyObject_GetAttr does, for one call site. Records
// (pydantic models) keep their fields in the instance dict, but their class
// has a __getattr__ hook, and the hook's generic path costs three type
// look-ups per read: several times the interpreter's specialised attribute
// load. So, once per type version, decide whether the dict alone can answer
// (standard __getattribute__, no class attribute of that name anywhere in the
// MRO, so no descriptor can take precedence); then a read is one dict look-up,
// and a miss still goes the full way, hook included. A type changed since is
// seen by its new version tag.
class AttrReader {
public:
    constexpr AttrReader() = default;

    // dict, when given, keeps obj's instance dict for the caller's next reads
    // of the same object.
    Ref read(PyObject* obj, PyObject* name, Ref* dict = nullptr)
    {
        PyTypeObject* tp = Py_TYPE(obj);
        if (tp != type_ || version_ == 0 || tp->tp_version_tag != version_) learn(tp, name);
        Ref own;
        Ref& held = dict ? *dict : own;
        if (direct_) {
            if (!held) {
                held = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
                if (!held) return Ref();
            }
            PyObject* value;
            if (PyDict_GetItemRef(held.get(), name, &value) != 0) return Ref::steal(value);
        }
        // The full way may run code (a __getattr__ hook) that rebinds the dict.
        held.reset();
        return getattr(obj, name);
    }

private:
    static bool is_generic_getattribute(PyObject* v)
    {
        return Py_IS_TYPE(v, &PyWrapperDescr_Type)
               && reinterpret_cast<PyWrapperDescrObject*>(v)->d_wrapped
                      == reinterpret_cast<void*>(PyObject_GenericGetAttr);
    }

    void learn(PyTypeObject* tp, PyObject* name)
    {
        // Decided in locals and stored last: the dict look-ups below may run
        // Python code (the __eq__ of a class-dict key) that re-enters this
        // reader or rebinds the type's bases, freeing the MRO tuple being
        // walked; hence the reference to it, as the interpreter's own MRO
        // look-up holds.
        const unsigned int version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
        bool direct = false;
        if (version != 0 && tp->tp_mro != nullptr
            && ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0)) {
            Ref mro = Ref::borrow(tp->tp_mro);  // also keeps tp, its first item, alive
            bool seen_getattribute = false;
            bool clear = true;
            for (Py_ssize_t i = 0; clear && i < PyTuple_GET_SIZE(mro.get()); ++i) {
                auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
                Ref dict = Ref::steal(PyType_GetDict(base));
                clear = dict && PyDict_Contains(dict.get(), name) == 0;
                if (!clear || seen_getattribute) continue;
                PyObject* getattribute;
                int found = PyDict_GetItemRef(dict.get(), g.str.dunder_getattribute, &getattribute);
                if (found > 0) {
                    clear = is_generic_getattribute(getattribute);
                    Py_DECREF(getattribute);
                    seen_getattribute = true;
                } else {
                    clear = found == 0;
                }
            }
            // A type changed during the walk is learnt again at the next read.
            direct = clear && seen_getattribute && tp->tp_version_tag == version;
            // Only a fast path is being decided: a failure means "take the full way".
            if (PyErr_Occurred()) PyErr_Clear();
        }
        type_ = tp;
        version_ = version;
        direct_ = direct;
    }

    // Not a reference: compared with the pair (type, version), and a version
    // tag is never given to two types.
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;
    bool direct_ = false;
};

// Makes an exception the thread's handled one for the scope's lifetime, as an
// except clause does, so that anything raised meanwhile chains to it; the
// previously handled exception comes back on every exit path.
class HandledScope {
public:
    explicit HandledScope(PyObject* exc) : previous_(PyErr_GetHandledException())
    {
        PyErr_SetHandledException(exc);
    }
    ~HandledScope()
    {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    PyObject* previous_;
};

}  // namespace lumora
