// Argument binding, global look-up, traceback entries and the helpers that the
// function bodies use to call their collaborators.
//
// How a function in core/ fails, as CPython's own do: one that makes an object returns it (Ref, or PyObject* where
// the interpreter calls us), empty on failure; one that looks up what may be absent returns 1 found, 0 absent or -1,
// the object in *out; any other returns int, -1 on failure. Failure means the exception is set; bool never fails.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "../ref.hpp"
#include "../state.hpp"

namespace lumora {

inline constexpr int kMaxParams = 12;
inline constexpr int kMaxLocals = 8;
inline constexpr size_t kMaxTracebackName = 96;

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
    const char* annotation;      // nullptr: not annotated
    const char* help = nullptr;  // its line under "Args:" in the docstring; nullptr: none
};

// A function's parameter rows in declaration order, and how many there are.
struct Params {
    Param rows[kMaxParams];
    int count;
    constexpr const Param& operator[](int i) const { return rows[i]; }
};

// Joins groups of rows into one function's parameters; more than kMaxParams
// rows do not compile.
template <size_t... N>
consteval Params params(const Param (&... groups)[N])
{
    static_assert((N + ... + 0) <= kMaxParams, "more parameters than kMaxParams");
    Params out{};
    int at = 0;
    ((std::copy(groups, groups + N, out.rows + at), at += static_cast<int>(N)), ...);
    out.count = at;
    return out;
}

// The values bound for one call, one slot per parameter in declaration order.
// Slots are borrowed: from the caller's argument array or from the constants.
struct Bound {
    PyObject* v[kMaxParams];
    double number;  // the converted value of the Check::Double parameter

    std::span<PyObject* const> first(int n) const { return {v, static_cast<size_t>(n)}; }
};

struct FuncDesc;
using Body = PyObject* (*)(const FuncDesc& f, const Bound& a);

// Everything that describes one Python-level function: its binding, its body
// and what introspection shows. One static instance per function.
struct FuncDesc {
    const char* name;     // binding messages, __name__, and by default the names below
    int line;             // definition line: binding errors, code object
    int conv_line = 0;    // line of a failed float conversion (0: none)
    bool kwonly = false;  // all parameters keyword-only (else all positional-or-keyword)
    Params params;
    const char* locals[kMaxLocals] = {};      // local variable names after the parameters
    const char* return_annotation = nullptr;  // nullptr: not annotated
    // The docstring's summary; its signature line and its "Args:" come from
    // the parameters. nullptr: no docstring at all.
    const char* doc = nullptr;
    const char* returns = nullptr;  // the docstring's "Returns:" text; nullptr: none
    Body body = nullptr;

    // Only where they differ from name: __qualname__, the code object's name,
    // and the name of traceback entries after the module's name and a dot.
    const char* qualname = nullptr;
    const char* code_name = nullptr;
    const char* tb_name = nullptr;

    // Filled once at initialisation (prepare_binding, prepare_code).
    PyObject* pnames[kMaxParams] = {};  // interned parameter names
    PyObject* qualname_obj = nullptr;   // interned qualname
    PyObject* code = nullptr;           // the function's code object
    char traceback_name[kMaxTracebackName] = {};

    // Derived from params by prepare_binding, so that a call walks only the
    // parameters that need work.
    struct TypeTest {
        PyTypeObject* type;
        unsigned char index;
        bool allow_none;
    };
    TypeTest tests[kMaxParams] = {};
    int ntests = 0;
    int double_index = -1;

    const char* qualified_name() const { return qualname ? qualname : name; }
    const char* code_object_name() const { return code_name ? code_name : name; }
};

// The binding step: matches the vectorcall arguments to f's parameters,
// applies defaults, converts and tests types, then runs f.body.
PyObject* bind_and_call(const FuncDesc& f, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The value of a default (borrowed); only asked for parameters that have one.
PyObject* default_object(Default d);

// Interns f's names and derives what the binder walks. -1 on failure.
int prepare_binding(FuncDesc& f);

// Value of a module global, falling back to the builtins; NameError when
// neither has it. Never cached: a rebound global is seen by the next call.
Ref lookup_global(PyObject* name);

// Adds a traceback entry (name, line, file) to the pending exception.
void add_traceback_entry(const char* name, int line, const char* file);

// The failed result of whatever function returns it: null, an empty Ref or -1.
struct Failed {
    operator PyObject*() const { return nullptr; }
    operator Ref() const { return {}; }
    operator int() const { return -1; }
};

// The source line of a statement, by its name in the line table of the
// function it belongs to (an enum beside the function's description).
template <class Line>
    requires std::is_enum_v<Line>
constexpr int line_of(Line line)
{
    return static_cast<int>(line);
}

// A failure exit of f's binding or body at the given statement: adds f's
// traceback entry, then fails.
inline Failed failed_at(const FuncDesc& f, int line)
{
    add_traceback_entry(f.traceback_name, line, kFileName);
    return {};
}

template <class Line>
    requires std::is_enum_v<Line>
Failed body_error(const FuncDesc& f, Line line)
{
    return failed_at(f, line_of(line));
}

// Calls through the vectorcall protocol; keyword values follow the positional
// ones in args and are named by kwnames.
inline Ref call(PyObject* callable, std::span<PyObject* const> args, PyObject* kwnames = nullptr)
{
    size_t nargs = args.size() - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_Vectorcall(callable, args.data(), nargs, kwnames));
}

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr)
{
    return call(callable, std::span<PyObject* const>(args.begin(), args.size()), kwnames);
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

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// What one statement of a body does with a module global, looked up at the
// moment of use: name(args), name.attribute, name.method(args). The arguments
// are values already at hand, so the look-up coming first changes nothing.
template <class Args = std::initializer_list<PyObject*>>
Ref call_global(PyObject* name, Args args = {}, PyObject* kwnames = nullptr)
{
    Ref callable = lookup_global(name);
    return callable ? call(callable.get(), args, kwnames) : Ref();
}

inline Ref global_attr(PyObject* name, PyObject* attribute)
{
    Ref owner = lookup_global(name);
    return owner ? getattr(owner.get(), attribute) : Ref();
}

inline Ref call_global_method(PyObject* name, PyObject* method, std::initializer_list<PyObject*> args = {})
{
    Ref owner = lookup_global(name);
    return owner ? call_method(owner.get(), method, args) : Ref();
}

// Content equality of two exact str objects: what str == str decides,
// without the call.
inline bool same_text(PyObject* a, PyObject* b)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// prefix + f"{value}": a str is used unchanged, anything else goes through
// format(value, "").
Ref join_text(PyObject* prefix, PyObject* value);

// Checks that a result is exactly str (or None); else TypeError
// "Expected str, got <type>". -1 on failure.
int expect_str_or_none(PyObject* value);

}  // namespace lumora
