// The module function type ("ostrelfunction" in reprs and warnings), its
// metatype, and the code objects the functions carry for introspection.
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "function.hpp"

#include <opcode.h>  // the instruction numbers of the running interpreter

namespace lumora {

namespace {

// The shared runtime module keeps the type for the process, so that a later
// initialisation (or another build of this library) finds and reuses it.
#define LUMORA_RUNTIME_MODULE "_lumora_runtime_0_1"
#define LUMORA_TYPE_NAME "native_function"
#define LUMORA_METATYPE_NAME LUMORA_TYPE_NAME "_meta"
const char kRuntimeModule[] = LUMORA_RUNTIME_MODULE;
const char kTypeName[] = LUMORA_TYPE_NAME;
const char kMetatypeName[] = LUMORA_METATYPE_NAME;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDesc* desc;
    PyObject* module;  // __module__; null reads as None
    PyObject* name;    // made from desc on first read
    PyObject* qualname;
    PyObject* doc;  // made from desc on first read
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;   // made empty on first read when absent
    PyObject* is_coroutine;  // made on first read
    PyObject* dict;
    PyObject* weakreflist;
};

FunctionObject* as_func(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    return bind_and_call(*as_func(self)->desc, args, nargsf, kwnames);
}

// ---- slots ----

int func_traverse(PyObject* self, visitproc visit, void* arg)
{
    FunctionObject* op = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(op->module);
    Py_VISIT(op->name);
    Py_VISIT(op->qualname);
    Py_VISIT(op->doc);
    Py_VISIT(op->globals);
    Py_VISIT(op->code);
    Py_VISIT(op->defaults);
    Py_VISIT(op->kwdefaults);
    Py_VISIT(op->annotations);
    Py_VISIT(op->is_coroutine);
    Py_VISIT(op->dict);
    return 0;
}

int func_clear(PyObject* self)
{
    FunctionObject* op = as_func(self);
    Py_CLEAR(op->module);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    Py_CLEAR(op->doc);
    Py_CLEAR(op->globals);
    Py_CLEAR(op->code);
    Py_CLEAR(op->defaults);
    Py_CLEAR(op->kwdefaults);
    Py_CLEAR(op->annotations);
    Py_CLEAR(op->is_coroutine);
    Py_CLEAR(op->dict);
    return 0;
}

void func_dealloc(PyObject* self)
{
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

PyObject* func_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<ostrelfunction %U at %p>", as_func(self)->qualname, self);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_func(self)->qualname); }

// ---- attributes ----

// The C type that the binder holds a checked parameter to, as the signature
// line shows it before the name.
const char* check_prefix(Check c)
{
    switch (c) {
    case Check::Str:
    case Check::StrOrNone: return "str ";
    case Check::Dict: return "dict ";
    case Check::List: return "list ";
    case Check::Double: return "double ";
    case Check::Any: break;
    }
    return "";
}

// The docstring: the signature line, the summary, "Args:" with the
// parameters' help, and "Returns:".
Ref make_doc(const FuncDesc& f)
{
    if (!f.doc) return Ref::borrow(Py_None);
    std::string text;
    try {
        text.append(f.name).append(f.kwonly ? "(*, " : "(");
        for (int i = 0; i < f.params.count; ++i) {
            const Param& p = f.params[i];
            text.append(i ? ", " : "").append(check_prefix(p.check)).append(p.name);
            if (p.annotation) text.append(": ").append(p.annotation);
            if (p.def == Default::Required) continue;
            Ref repr = Ref::steal(PyObject_Repr(default_object(p.def)));
            const char* shown = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
            if (!shown) return {};
            text.append(" = ").append(shown);
        }
        text.append(")");
        if (f.return_annotation) text.append(" -> ").append(f.return_annotation);
        text.append("\n\n").append(f.doc);
        const char* heading = "\n\nArgs:";
        for (int i = 0; i < f.params.count; ++i) {
            if (!f.params[i].help) continue;
            text.append(heading).append("\n    ").append(f.params[i].name).append(": ").append(f.params[i].help);
            heading = "";
        }
        if (f.returns) text.append("\n\nReturns:\n    ").append(f.returns);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* get_doc(PyObject* self, void*)
{
    FunctionObject* op = as_func(self);
    if (!op->doc) {
        op->doc = make_doc(*op->desc).release();
        if (!op->doc) return nullptr;
    }
    return Py_NewRef(op->doc);
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_func(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_name(PyObject* self, void*)
{
    FunctionObject* op = as_func(self);
    if (!op->name) {
        op->name = PyUnicode_InternFromString(op->desc->name);
        if (!op->name) return nullptr;
    }
    return Py_NewRef(op->name);
}

int set_name(PyObject* self, PyObject* value, void*)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_func(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_func(self)->globals); }

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*)
{
    PyObject* code = as_func(self)->code;
    return Py_NewRef(code ? code : Py_None);
}

PyObject* get_defaults(PyObject* self, void*)
{
    PyObject* d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

// The binder applies the defaults of the description, never these; say so
// before storing, as CPython-compiled extension functions have always done.
int set_defaults(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyErr_WarnEx(
            PyExc_RuntimeWarning,
            "changes to ostrelfunction.__defaults__ will not currently affect the values used in function calls",
            1) < 0)
        return -1;
    Py_XSETREF(as_func(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*)
{
    PyObject* d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changes to ostrelfunction.__kwdefaults__ will not currently affect the values used in function "
                     "calls",
                     1) < 0)
        return -1;
    Py_XSETREF(as_func(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*)
{
    FunctionObject* op = as_func(self);
    if (!op->annotations) {
        op->annotations = PyDict_New();
        if (!op->annotations) return nullptr;
    }
    return Py_NewRef(op->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*)
{
    FunctionObject* op = as_func(self);
    if (!op->is_coroutine) op->is_coroutine = Py_NewRef(Py_False);  // no function here is a coroutine
    return Py_NewRef(op->is_coroutine);
}

PyObject* get_module(PyObject* self, void*)
{
    PyObject* m = as_func(self)->module;
    return Py_NewRef(m ? m : Py_None);
}

int set_module(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_func(self)->module, Py_XNewRef(value));
    return 0;
}

PyGetSetDef func_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot func_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(func_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(func_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(func_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(func_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(func_descr_get)},
    {Py_tp_getset, func_getset},
    {Py_tp_members, func_members},
    {Py_tp_methods, func_methods},
    {0, nullptr},
};

// Immutable and not subclassable: reassigning __call__ on a vectorcall type,
// or overriding it in a subclass, is a known road to crashes.
PyType_Spec func_spec = {
    LUMORA_RUNTIME_MODULE "." LUMORA_TYPE_NAME,
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    func_slots,
};

// The metatype's one addition: a read-only __module__ naming the runtime
// module, so that the function type's own __module__ cannot be rebound.
PyObject* meta_get_module(PyObject*, void*) { return PyUnicode_FromString(kRuntimeModule); }

PyGetSetDef meta_getset[] = {
    {"__module__", meta_get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot meta_slots[] = {
    {Py_tp_getset, meta_getset},
    {0, nullptr},
};

// Instantiable on purpose: type.__new__ calls the most derived metatype's
// tp_new without a null check, so `type("X", (native_function,), {})` would
// crash without one; with type's own it refuses the non-subclassable base.
PyType_Spec meta_spec = {
    LUMORA_RUNTIME_MODULE "." LUMORA_METATYPE_NAME, 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, meta_slots,
};

// The runtime module from sys.modules, made and registered when absent.
Ref runtime_module()
{
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(kRuntimeModule));
    if (!name) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(modules, name.get(), &found) < 0) return {};
    if (found) return Ref::steal(found);
    Ref mod = Ref::steal(PyModule_NewObject(name.get()));
    if (!mod || PyDict_SetItem(modules, name.get(), mod.get()) < 0) return {};
    return mod;
}

// Finds the type that the runtime module already holds under `short_name`,
// checked: 1 with it in *out, 0 when there is none, -1 on failure.
int shared_type(PyObject* runtime, const char* short_name, Py_ssize_t basicsize, Ref* out)
{
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(runtime, short_name, &found) < 0) return -1;
    Ref obj = Ref::steal(found);
    if (!obj) return 0;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "Shared Ostrel type %.200s is not a type object", short_name);
        return -1;
    }
    if (basicsize && reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize != basicsize) {
        PyErr_Format(PyExc_TypeError, "Shared Ostrel type %.200s has the wrong size, try recompiling", short_name);
        return -1;
    }
    *out = std::move(obj);
    return 1;
}

// The metatype from the runtime module, made and registered when absent.
Ref shared_metatype(PyObject* runtime)
{
    Ref meta;
    int found = shared_type(runtime, kMetatypeName, 0, &meta);
    if (found != 0) return meta;
    meta = Ref::steal(PyType_FromSpecWithBases(&meta_spec, reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!meta || PyObject_SetAttrString(runtime, kMetatypeName, meta.get()) < 0) return {};
    return meta;
}

}  // namespace

int init_function_type()
{
    if (process.function_type) return 0;
    Ref runtime = runtime_module();
    if (!runtime) return -1;
    Ref type;
    int found = shared_type(runtime.get(), kTypeName, sizeof(FunctionObject), &type);
    if (found < 0) return -1;
    if (found == 0) {
        Ref meta = shared_metatype(runtime.get());
        if (!meta) return -1;
        type =
            Ref::steal(PyType_FromMetaclass(reinterpret_cast<PyTypeObject*>(meta.get()), nullptr, &func_spec, nullptr));
        if (!type || PyObject_SetAttrString(runtime.get(), kTypeName, type.get()) < 0) return -1;
    }
    process.function_type = type.release();
    return 0;
}

namespace {

// A bare `raise`, as 3.13 bytecode: it pushes nothing, so the code object
// can report the stack size of 0 that describes a native function and still
// raise when run (RuntimeError "No active exception to reraise", or the
// exception being handled where one is).
const unsigned char kRefusal[] = {RESUME, 0, RAISE_VARARGS, 0};
constexpr int kRefusalStack = 0;
// Both instructions on the first line, without columns: one location entry
// of kind 13 covering two code units with a line delta of 0.
constexpr unsigned char kNoColumns = 0x80 | (13 << 3);
const unsigned char kRefusalLines[] = {kNoColumns | (sizeof kRefusal / 2 - 1), 0};
static_assert(sizeof kRefusal / 2 <= 8, "one location entry covers at most eight code units");

Ref bytes_of(const unsigned char* data, size_t size)
{
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// The parameter names, then the local variable names.
Ref variable_names(const FuncDesc& f)
{
    const int nparams = f.params.count;
    int nlocals = 0;
    while (nlocals < kMaxLocals && f.locals[nlocals]) ++nlocals;
    Ref varnames = Ref::steal(PyTuple_New(nparams + nlocals));
    if (!varnames) return {};
    for (int i = 0; i < nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(f.pnames[i]));
    for (int i = 0; i < nlocals; ++i) {
        PyObject* name = PyUnicode_InternFromString(f.locals[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(varnames.get(), nparams + i, name);
    }
    return varnames;
}

}  // namespace

int prepare_code(FuncDesc& f)
{
    if (f.code) return 0;
    Ref varnames = variable_names(f);
    Ref code_name = varnames ? Ref::steal(PyUnicode_InternFromString(f.code_object_name())) : Ref();
    if (!code_name) return -1;
    // The code object describes the function to introspection; its
    // instructions only refuse to run, so that a function built from it
    // (types.FunctionType, exec) raises instead of aborting the interpreter.
    Ref instructions = bytes_of(kRefusal, sizeof kRefusal);
    Ref lines = bytes_of(kRefusalLines, sizeof kRefusalLines);
    if (!instructions || !lines) return -1;
    const int nparams = f.params.count;
    const int positional = f.kwonly ? 0 : nparams;
    const int kwonly = f.kwonly ? nparams : 0;
    f.code = reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        positional, 0, kwonly, static_cast<int>(PyTuple_GET_SIZE(varnames.get())), kRefusalStack,
        CO_OPTIMIZED | CO_NEWLOCALS, instructions.get(), process.empty_tuple, process.empty_tuple, varnames.get(),
        process.empty_tuple, process.empty_tuple, process.str.file_name, code_name.get(), code_name.get(), f.line,
        lines.get(), process.empty_bytes));
    if (!f.code) return -1;
    // The constructor rounds a stack size of 0 up to 1 and sizes frames from
    // that (co_framesize); only the figure shown to introspection is set back,
    // before anything else can see the object. The frame keeps its slot.
    reinterpret_cast<PyCodeObject*>(f.code)->co_stacksize = kRefusalStack;
    return 0;
}

Ref make_function(FuncDesc& f)
{
    auto* op = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(process.function_type));
    if (!op) return {};
    op->vectorcall = func_vectorcall;
    op->desc = &f;
    op->module = Py_NewRef(process.str.module_name);
    op->name = nullptr;
    op->qualname = Py_NewRef(f.qualname_obj);
    op->doc = nullptr;
    op->globals = Py_NewRef(process.module_globals);
    op->code = Py_XNewRef(f.code);
    op->defaults = nullptr;
    op->kwdefaults = nullptr;
    op->annotations = nullptr;
    op->is_coroutine = nullptr;
    op->dict = nullptr;
    op->weakreflist = nullptr;
    PyObject_GC_Track(op);
    return Ref::steal(reinterpret_cast<PyObject*>(op));
}

// Used by the module body, which sets these once right after creation; the
// assignment rules (and their warnings) are for Python code only.
void set_function_kwdefaults(PyObject* func, PyObject* kwdefaults)
{
    Py_XSETREF(as_func(func)->kwdefaults, Py_XNewRef(kwdefaults));
}

void set_function_annotations(PyObject* func, PyObject* annotations)
{
    Py_XSETREF(as_func(func)->annotations, Py_XNewRef(annotations));
}

}  // namespace lumora
