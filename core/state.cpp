// The process-wide state and its constants.
#include "state.hpp"

#include <initializer_list>

namespace lumora {

ProcessState process;

namespace {

int make_name_tuple(PyObject** out, std::initializer_list<const char*> names)
{
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) return -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_InternFromString(name);
        if (!s) {
            Py_DECREF(t);
            return -1;
        }
        PyTuple_SET_ITEM(t, i++, s);
    }
    *out = t;
    return 0;
}

}  // namespace

int init_constants()
{
    // Made once per process; a failed initialisation keeps what it made and
    // the next attempt completes the rest.
    if (process.constants_ready) return 0;
    if (!process.empty_tuple && !(process.empty_tuple = PyTuple_New(0))) return -1;
    if (!process.empty_bytes && !(process.empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!process.empty_str && !(process.empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
#define S(member, text)                                                                                                \
    if (!process.str.member && !(process.str.member = PyUnicode_InternFromString(text))) return -1;
#include "strings.def"
#undef S
    if (!process.int0 && !(process.int0 = PyLong_FromLong(0))) return -1;
    if (!process.int8 && !(process.int8 = PyLong_FromLong(8))) return -1;
#define T(member, ...)                                                                                                 \
    if (!process.kw.member && make_name_tuple(&process.kw.member, {__VA_ARGS__}) < 0) return -1;
#include "tuples.def"
#undef T
    process.constants_ready = true;
    return 0;
}

}  // namespace lumora
