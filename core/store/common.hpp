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

// ---- names and paths of the layout (layout.cpp) ----

// True when s holds '/', '\\' or NUL. Any of them would carry a name out of
// its directory or cut it short at the operating system.
bool has_separator(PyObject* s);

// A name that can stand for one directory below the root: no separator, NUL,
// "", "." or "..".
bool is_plain_name(PyObject* name);

// parent / name when the path object's own rules put it exactly one level
// below parent, under that very name; empty with no exception set when they
// put it anywhere else, empty with the exception set when a step raised.
Ref child_path(PyObject* parent, PyObject* name);

// "*_" + the ID + ".json", the ID's glob specials escaped: it matches only
// the files of that ID.
Ref id_pattern(PyObject* simulation_id);

// The first path that type_dir.glob(pattern) yields, or None; the whole glob
// is read.
Ref first_match(PyObject* type_dir, PyObject* pattern);

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
