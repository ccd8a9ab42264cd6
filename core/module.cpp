// Module definition and initialisation: the create and exec steps and the
// module body that binds every global the functions use.
#include "binding/function.hpp"
#include "host/host.hpp"
#include "state.hpp"
#include "store/store.hpp"

namespace lumora {

namespace {

const char kInitEntry[] = "init " LUMORA_MODULE_NAME;

// The lines of the module body's statements; the lazy bindings carry theirs
// in host::kLazyBindings, the functions theirs in their descriptions.
enum class InitLine : int {
    first = 1,  // what precedes and follows the statements: the runtime, __test__
    import_hashlib = 9,
    import_json = 10,
    from_datetime = 11,
    from_pathlib = 12,
    from_typing = 13,
    from_models = 15,
    type_checking = 21,  // if TYPE_CHECKING:
    checking_version = 22,
    checking_logger = 23,
    checking_models = 24,
    checking_settings = 28,
    from_lazy = 36,
};

// The module's functions, in the order the body binds them.
FuncDesc* const kFunctions[] = {
    &compute_simulation_id_desc,    &get_simulation_file_path_desc, &find_simulation_file_desc,
    &save_simulation_result_desc,   &load_simulation_result_desc,   &find_simulation_result_desc,
    &matches_filters_desc,          &list_simulation_results_desc,  &delete_simulation_result_desc,
    &clear_simulation_results_desc,
};

// ---- create ----

// Copies spec.<attr> to module.<target>; a spec without the attribute is
// fine, any other error is not.
int copy_spec_attr(PyObject* spec, PyObject* attr, PyObject* module, PyObject* target, bool skip_none)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(spec, attr, &value) < 0) return -1;
    Ref v = Ref::steal(value);
    if (!v || (skip_none && v.get() == Py_None)) return 0;
    return PyObject_SetAttr(module, target, v.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (process.owner_interpreter_id == -1) {
        process.owner_interpreter_id = id;
    } else if (process.owner_interpreter_id != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (process.module_instance) return Py_NewRef(process.module_instance);

    // Before the constants exist: these names are the module's first objects.
    if (init_constants() < 0) return nullptr;
    const Strings& s = process.str;
    Ref name = getattr(spec, s.name);
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attr(spec, s.loader, module.get(), s.dunder_loader, false) < 0 ||
        copy_spec_attr(spec, s.origin, module.get(), s.dunder_file, false) < 0 ||
        copy_spec_attr(spec, s.parent, module.get(), s.dunder_package, false) < 0 ||
        copy_spec_attr(spec, s.submodule_search_locations, module.get(), s.dunder_path, true) < 0)
        return nullptr;
    return module.release();
}

// ---- the module body's import statements ----

// Finds a module in sys.modules: 1 with it in *out, 0 when absent, -1.
int sys_modules_get(PyObject* name, Ref* out)
{
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(PyImport_GetModuleDict(), name, &found);
    *out = Ref::steal(found);
    return status;
}

int bind(PyObject* name, PyObject* value) { return PyDict_SetItem(process.module_globals, name, value); }

Ref import_module(PyObject* name, PyObject* fromlist)
{
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, process.module_globals, locals.get(), fromlist, 0));
}

// import <name>
int import_plain(PyObject* name)
{
    Ref module;
    const int found = sys_modules_get(name, &module);
    if (found < 0) return -1;
    if (found == 0 && !(module = import_module(name, nullptr))) return -1;
    return bind(name, module.get());
}

struct ImportName {
    PyObject* name;
    PyObject* as;  // the global bound; nullptr: the name itself
};

// <module>.<name>, or the submodule registered as <module>.<name> but not yet
// set as an attribute; ImportError when neither exists.
Ref imported_name(PyObject* module, PyObject* name)
{
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref owner = getattr(module, process.str.dunder_name);
    Ref full = owner ? Ref::steal(PyUnicode_FromFormat("%S.%U", owner.get(), name)) : Ref();
    if (full && sys_modules_get(full.get(), &value) > 0) return value;
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// from <module> import <names...>
int import_from(PyObject* module_name, std::initializer_list<ImportName> names)
{
    Ref module;
    if (sys_modules_get(module_name, &module) < 0) return -1;
    // A module found half-initialised (or stripped) is imported properly.
    for (const ImportName& n : names) {
        if (!module) break;
        int has = PyObject_HasAttrWithError(module.get(), n.name);
        if (has < 0) return -1;
        if (!has) module = Ref();
    }
    if (!module) {
        Ref fromlist = Ref::steal(PyList_New(0));
        if (!fromlist) return -1;
        for (const ImportName& n : names) {
            if (PyList_Append(fromlist.get(), n.name) < 0) return -1;
        }
        module = import_module(module_name, fromlist.get());
        if (!module) return -1;
    }
    for (const ImportName& n : names) {
        Ref value = imported_name(module.get(), n.name);
        if (!value || bind(n.as ? n.as : n.name, value.get()) < 0) return -1;
    }
    return 0;
}

// <global> = lazy_import(<args>), lazy_import looked up afresh each time.
int bind_lazy(const host::LazyBinding& b)
{
    const Strings& s = process.str;
    Ref proxy = b.attribute ? call_global(s.lazy_import, {s.*b.module, s.*b.attribute})
                            : call_global(s.lazy_import, {s.*b.module});
    if (!proxy) return -1;
    return bind(s.*b.global, proxy.get());
}

// ---- the function objects ----

int bind_function(FuncDesc& f)
{
    Ref func = make_function(f);
    if (!func) return -1;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return -1;
    for (int i = 0; i < f.params.count; ++i) {
        if (!f.params[i].annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(f.params[i].annotation));
        if (!text || PyDict_SetItem(annotations.get(), f.pnames[i], text.get()) < 0) return -1;
    }
    if (f.return_annotation) {
        Ref text = Ref::steal(PyUnicode_FromString(f.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return -1;
    }
    set_function_annotations(func.get(), annotations.get());

    Ref kwdefaults;
    for (int i = 0; i < f.params.count; ++i) {
        if (!f.kwonly || f.params[i].def == Default::Required) continue;
        if (!kwdefaults && !(kwdefaults = Ref::steal(PyDict_New()))) return -1;
        if (PyDict_SetItem(kwdefaults.get(), f.pnames[i], default_object(f.params[i].def)) < 0) return -1;
    }
    if (kwdefaults) set_function_kwdefaults(func.get(), kwdefaults.get());

    Ref name = Ref::steal(PyUnicode_InternFromString(f.name));
    if (!name) return -1;
    return bind(name.get(), func.get());
}

// Fails the module body at the given line.
int init_failed(int line)
{
    add_traceback_entry(kInitEntry, line, kFileName);
    return -1;
}

int init_failed(InitLine line) { return init_failed(line_of(line)); }

// Runs the module body. -1 on failure.
int run_body()
{
    const Strings& s = process.str;
    if (import_plain(s.hashlib) < 0) return init_failed(InitLine::import_hashlib);
    if (import_plain(s.json) < 0) return init_failed(InitLine::import_json);
    if (import_from(s.datetime, {{s.UTC, nullptr}, {s.datetime, nullptr}}) < 0)
        return init_failed(InitLine::from_datetime);
    if (import_from(s.pathlib, {{s.Path, nullptr}}) < 0) return init_failed(InitLine::from_pathlib);
    if (import_from(s.typing, {{s.TYPE_CHECKING, nullptr}, {s.Any, nullptr}}) < 0)
        return init_failed(InitLine::from_typing);
    if (import_from(s.lumora_models, {{s.SimulationHyperparameters, nullptr},
                                      {s.SimulationStatus, nullptr},
                                      {s.StoredSimulationResult, nullptr}}) < 0)
        return init_failed(InitLine::from_models);

    Ref type_checking = lookup_global(s.TYPE_CHECKING);
    const int checking = type_checking ? PyObject_IsTrue(type_checking.get()) : -1;
    if (checking < 0) return init_failed(InitLine::type_checking);
    if (checking) {
        // Only type checkers take this branch; it binds the host services
        // eagerly, and orjson not at all.
        if (import_from(s.lumora, {{s.dunder_version, nullptr}}) < 0) return init_failed(InitLine::checking_version);
        if (import_from(s.lumora_logger, {{s.get_logger, s.log}}) < 0) return init_failed(InitLine::checking_logger);
        if (import_from(s.lumora_models, {{s.SerializedSimulationResult, nullptr}, {s.SimulationType, nullptr}}) < 0)
            return init_failed(InitLine::checking_models);
        if (import_from(s.lumora_settings,
                        {{s.get_build_dir, nullptr}, {s.get_pdk_name, nullptr}, {s.get_simulations_dir, nullptr}}) < 0)
            return init_failed(InitLine::checking_settings);
    } else {
        if (import_from(s.lumora_core_lazy, {{s.lazy_import, nullptr}}) < 0) return init_failed(InitLine::from_lazy);
        for (const host::LazyBinding& b : host::kLazyBindings) {
            if (bind_lazy(b) < 0) return init_failed(b.line);
        }
    }

    for (FuncDesc* f : kFunctions) {
        if (bind_function(*f) < 0) return init_failed(f->line);
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || bind(s.dunder_test, test.get()) < 0) return init_failed(InitLine::first);
    return 0;
}

// Steps 6 to 8 of exec: everything made once per process after the
// constants. Returns -1 on failure.
int prepare_runtime()
{
    if (init_function_type() < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    if (PyDict_GetItemRef(modules, process.str.module_name, &registered) < 0) return -1;
    if (registered)
        Py_DECREF(registered);
    else if (PyDict_SetItem(modules, process.str.module_name, process.module_instance) < 0)
        return -1;
    if (!process.slice_first8 && !(process.slice_first8 = PySlice_New(nullptr, process.int8, nullptr))) return -1;
    for (FuncDesc* f : kFunctions) {
        if (prepare_binding(*f) < 0 || prepare_code(*f) < 0) return -1;
    }
    return prepare_binding(sort_key_desc) < 0 ? -1 : prepare_code(sort_key_desc);
}

// ---- exec ----

int exec_failed()
{
    Py_CLEAR(process.module_instance);
    return -1;
}

int module_exec(PyObject* module)
{
    if (process.module_instance) {
        if (process.module_instance == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simulation_storage' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    process.module_instance = Py_NewRef(module);
    if (init_constants() < 0) return exec_failed();  // made by the create step already, unless it was bypassed

    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!globals) return exec_failed();
    Py_XSETREF(process.module_globals, Py_NewRef(globals));
    if (!process.builtins_module) {
        process.builtins_module = PyImport_ImportModule("builtins");
        if (!process.builtins_module) return exec_failed();
    }
    if (PyObject_SetAttr(module, process.str.dunder_builtins, process.builtins_module) < 0) return exec_failed();

    // Built for 3.13; a mismatch is only a warning unless filters make it an error.
    const unsigned long running = Py_Version >> 16;
    if (running != ((3UL << 8) | 13UL)) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                             kModuleName, "does not match", static_cast<int>(running >> 8),
                             static_cast<int>(running & 0xff)) < 0)
            return exec_failed();
    }

    if (prepare_runtime() < 0) {
        init_failed(InitLine::first);
        return exec_failed();
    }
    if (run_body() < 0) return exec_failed();
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "simulation_storage",
    "Simulation results storage API.\n\nThis module provides functions for storing, retrieving, and managing\n"
    "simulation results with full reproducibility metadata.\n",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace lumora

PyMODINIT_FUNC PyInit_simulation_storage(void) { return PyModuleDef_Init(&lumora::module_def); }
