// Argument binding, global look-up, traceback entries and the helpers that the
// function bodies use to call their collaborators.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "../ref.hpp"
#include "../state.hpp"

namespace lumora {

inline constexpr int kMaxParams = 12;
inline constexpr int kMaxLocals = 8;

// What the binder checks for one parameter.
enum class Check : unsigned char {
    Any,        // no check
    Str,        // exactly str
    StrOrNone,  // exactly str, or None
    Dict,       // exactly dict
    List,       // exactly list
    Double,     // converted to a C double (Bound::number)
};

// The default of a parameter; Required when there is none.
enum class Default : unsigned char { Required, None, EmptyStr, Success };

struct Param {
    const char* name;
    Check check;
    Default def;
    const char* annotation;  // nullptr: not annotated
};

// The values bound for one call, one slot per parameter in declaration order.
// Slots are borrowed: from the caller's argument array or from the constants.
struct Bound {
    PyObject* v[kMaxParams];
    double number;  // the converted value of the Check::Double parameter
};

struct FuncDesc;
using Body = PyObject* (*)(const FuncDesc& f, const Bound& a);

// Everything that describes one Python-level function: its binding, its body
// and what introspection shows. One static instance per function.
struct FuncDesc {
    const char* name;      // binding messages and __name__
    const char* qualname;  // __qualname__
    const char* code_name; // co_name and co_qualname of its code object
    const char* tb_name;   // name of its traceback entries
    int line;              // definition line: binding errors, code object
    int conv_line;         // line of a failed float conversion (0: none)
    bool kwonly;           // all parameters keyword-only (else all positional-or-keyword)
    int nparams;
    Param params[kMaxParams];
    const char* locals[kMaxLocals];  // local variable names after the parameters
    const char* return_annotation;   // nullptr: not annotated
    const char* doc;                 // nullptr: no docstring
    Body body;

    // Filled once at initialisation (prepare_desc).
    PyObject* pnames[kMaxParams] = {};  // interned parameter names
    PyObject* qualname_obj = nullptr;   // interned qualname
    PyObject* code = nullptr;           // the function's code object

    // Derived from params by prepare_desc, so that a call walks only the
    // parameters that need work.
    struct TypeTest {
        PyTypeObject* type;
        unsigned char index;
        bool allow_none;
    };
    TypeTest tests[kMaxParams] = {};
    int ntests = 0;
    int double_index = -1;
};

// The binding step: matches the vectorcall arguments to f's parameters,
// applies defaults, converts and tests types, then runs f.body.
PyObject* bind_and_call(const FuncDesc& f, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The value of a default (borrowed); nullptr for Default::Required.
PyObject* default_object(Default d);

// Derives f's type tests and conversion slot from its parameters.
void derive_tests(FuncDesc& f);

// Interns f's parameter names and makes its code object. -1 on failure.
int prepare_desc(FuncDesc& f);

// Value of a module global, falling back to the builtins; NameError when
// neither has it. Never cached: a rebound global is seen by the next call.
Ref lookup_global(PyObject* name);

// Adds a traceback entry (name, line, file) to the pending exception.
void add_traceback_entry(const char* name, int line, const char* file);

// A failure exit of f's binding or body: adds f's entry at the given line.
inline PyObject* body_error(const FuncDesc& f, int line)
{
    add_traceback_entry(f.tb_name, line, kFileName);
    return nullptr;
}

// Calls through the vectorcall protocol; keyword values follow the positional
// ones in args and are named by kwnames.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr)
{
    size_t nargs = args.size() - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()), nargs, kwnames));
}

// Calls obj.name(*args) through the method-call protocol.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr)
{
    PyObject* stack[kMaxParams + 5];
    stack[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    size_t nargs = n - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_VectorcallMethod(name, stack, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Content equality of two exact str objects: what str == str decides,
// without the call.
inline bool same_text(PyObject* a, PyObject* b)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// prefix + f"{value}": a str is used unchanged, anything else goes through
// format(value, "").
Ref join_text(PyObject* prefix, PyObject* value);

// Checks that a result is exactly str (or None); else TypeError
// "Expected str, got <type>".
bool expect_str_or_none(PyObject* value);

}  // namespace lumora
