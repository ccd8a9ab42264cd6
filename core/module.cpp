// Module definition and initialisation: the create and exec steps and the
// module body that binds every global the functions use.
#include "binding/function.hpp"
#include "host/host.hpp"
#include "state.hpp"
#include "store/store.hpp"

namespace lumora {

namespace {

const char kInitEntry[] = "init lumora.core.simulation_storage";

// The module's functions, in the order the body binds them.
FuncDesc* const kFunctions[] = {
    &compute_simulation_id_desc,     &get_simulation_file_path_desc, &find_simulation_file_desc,
    &save_simulation_result_desc,    &load_simulation_result_desc,   &find_simulation_result_desc,
    &matches_filters_desc,           &list_simulation_results_desc,  &delete_simulation_result_desc,
    &clear_simulation_results_desc,
};

// ---- create ----

// Copies spec.<attr> to module.<target>; a spec without the attribute is
// fine, any other error is not.
int copy_spec_attr(PyObject* spec, const char* attr, PyObject* module, const char* target, bool skip_none)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return -1;
    Ref v = Ref::steal(value);
    if (!v || (skip_none && v.get() == Py_None)) return 0;
    return PyObject_SetAttrString(module, target, v.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g.owner_interpreter_id == -1) {
        g.owner_interpreter_id = id;
    }
    else if (g.owner_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module_instance) return Py_NewRef(g.module_instance);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attr(spec, "loader", module.get(), "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", module.get(), "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", module.get(), "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", module.get(), "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// ---- the module body's import statements ----

// A module from sys.modules, or empty (no error) when absent.
Ref sys_modules_get(PyObject* name)
{
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, &found) < 0) return {};
    return Ref::steal(found);
}

int bind(PyObject* name, PyObject* value) { return PyDict_SetItem(g.module_globals, name, value); }

Ref import_module(PyObject* name, PyObject* fromlist)
{
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, g.module_globals, locals.get(), fromlist, 0));
}

// import <name>
int import_plain(PyObject* name)
{
    Ref module = sys_modules_get(name);
    if (!module) {
        if (PyErr_Occurred()) return -1;
        module = import_module(name, nullptr);
        if (!module) return -1;
    }
    return bind(name, module.get());
}

struct ImportName {
    PyObject* name;
    PyObject* as;  // the global bound; nullptr: the name itself
};

// from <module> import <names...>
int import_from(PyObject* module_name, std::initializer_list<ImportName> names)
{
    Ref module = sys_modules_get(module_name);
    if (!module && PyErr_Occurred()) return -1;
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
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), n.name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            // A submodule registered but not yet set as an attribute.
            Ref owner = Ref::steal(PyObject_GetAttr(module.get(), g.str.dunder_name));
            Ref full = owner ? Ref::steal(PyUnicode_FromFormat("%S.%U", owner.get(), n.name)) : Ref();
            if (full) value = sys_modules_get(full.get());
            if (!value) {
                if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", n.name);
                return -1;
            }
        }
        if (bind(n.as ? n.as : n.name, value.get()) < 0) return -1;
    }
    return 0;
}

// <global> = lazy_import(<args>), lazy_import looked up afresh each time.
int bind_lazy(const host::LazyBinding& b)
{
    Ref lazy_import = lookup_global(g.str.lazy_import);
    if (!lazy_import) return -1;
    Ref module = Ref::steal(PyUnicode_InternFromString(b.module));
    Ref attribute = b.attribute ? Ref::steal(PyUnicode_InternFromString(b.attribute)) : Ref();
    if (!module || (b.attribute && !attribute)) return -1;
    Ref proxy = attribute ? call(lazy_import.get(), {module.get(), attribute.get()}) : call(lazy_import.get(), {module.get()});
    if (!proxy) return -1;
    Ref global = Ref::steal(PyUnicode_InternFromString(b.global));
    if (!global) return -1;
    return bind(global.get(), proxy.get());
}

// ---- the function objects ----

int bind_function(FuncDesc& f)
{
    Ref func = make_function(f);
    if (!func) return -1;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return -1;
    for (int i = 0; i < f.nparams; ++i) {
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
    for (int i = 0; i < f.nparams; ++i) {
        PyObject* value = default_object(f.params[i].def);
        if (!f.kwonly || !value) continue;
        if (!kwdefaults && !(kwdefaults = Ref::steal(PyDict_New()))) return -1;
        if (PyDict_SetItem(kwdefaults.get(), f.pnames[i], value) < 0) return -1;
    }
    if (kwdefaults) set_function_kwdefaults(func.get(), kwdefaults.get());

    Ref name = Ref::steal(PyUnicode_InternFromString(f.name));
    if (!name) return -1;
    return bind(name.get(), func.get());
}

// Runs the module body; on failure returns the line of the failing statement.
int run_body()
{
    const Strings& s = g.str;
    if (import_plain(s.hashlib) < 0) return 9;
    if (import_plain(s.json) < 0) return 10;
    if (import_from(s.datetime, {{s.UTC, nullptr}, {s.datetime, nullptr}}) < 0) return 11;
    if (import_from(s.pathlib, {{s.Path, nullptr}}) < 0) return 12;
    if (import_from(s.typing, {{s.TYPE_CHECKING, nullptr}, {s.Any, nullptr}}) < 0) return 13;
    if (import_from(s.lumora_models, {{s.SimulationHyperparameters, nullptr},
                                      {s.SimulationStatus, nullptr},
                                      {s.StoredSimulationResult, nullptr}}) < 0)
        return 15;

    Ref type_checking = lookup_global(s.TYPE_CHECKING);
    if (!type_checking) return 21;
    int checking = PyObject_IsTrue(type_checking.get());
    if (checking < 0) return 21;
    if (checking) {
        // Only type checkers take this branch; it binds the host services
        // eagerly, and orjson not at all.
        if (import_from(s.lumora, {{s.dunder_version, nullptr}}) < 0) return 22;
        if (import_from(s.lumora_logger, {{s.get_logger, s.log}}) < 0) return 23;
        if (import_from(s.lumora_models, {{s.SerializedSimulationResult, nullptr}, {s.SimulationType, nullptr}}) < 0)
            return 24;
        if (import_from(s.lumora_settings,
                        {{s.get_build_dir, nullptr}, {s.get_pdk_name, nullptr}, {s.get_simulations_dir, nullptr}}) < 0)
            return 28;
    }
    else {
        if (import_from(s.lumora_core_lazy, {{s.lazy_import, nullptr}}) < 0) return 36;
        for (const host::LazyBinding& b : host::kLazyBindings) {
            if (bind_lazy(b) < 0) return b.line;
        }
    }

    for (FuncDesc* f : kFunctions) {
        if (bind_function(*f) < 0) return f->line;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || bind(s.dunder_test, test.get()) < 0) return 1;
    return 0;
}

// Steps 6 to 8 of exec: everything made once per process after the
// constants. Returns -1 on failure.
int prepare_runtime()
{
    if (init_function_type() < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    if (PyDict_GetItemRef(modules, g.str.module_name, &registered) < 0) return -1;
    if (registered) Py_DECREF(registered);
    else if (PyDict_SetItem(modules, g.str.module_name, g.module_instance) < 0) return -1;
    if (!g.slice_first8 && !(g.slice_first8 = PySlice_New(nullptr, g.int8, nullptr))) return -1;
    for (FuncDesc* f : kFunctions) {
        if (prepare_desc(*f) < 0) return -1;
    }
    return prepare_desc(sort_key_desc);
}

// ---- exec ----

int exec_failed()
{
    Py_CLEAR(g.module_instance);
    return -1;
}

int module_exec(PyObject* module)
{
    if (g.module_instance) {
        if (g.module_instance == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simulation_storage' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g.module_instance = Py_NewRef(module);

    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (!globals) return exec_failed();
    Py_XSETREF(g.module_globals, Py_NewRef(globals));
    if (!g.builtins_module) {
        g.builtins_module = PyImport_ImportModule("builtins");
        if (!g.builtins_module) return exec_failed();
    }
    if (PyObject_SetAttrString(module, "__builtins__", g.builtins_module) < 0) return exec_failed();

    // Built for 3.13; a mismatch is only a warning unless filters make it an error.
    const unsigned long running = Py_Version >> 16;
    if (running != ((3UL << 8) | 13UL)) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                             kModuleName, "does not match", static_cast<int>(running >> 8),
                             static_cast<int>(running & 0xff)) < 0)
            return exec_failed();
    }
    if (init_constants() < 0) return exec_failed();

    int line = prepare_runtime() < 0 ? 1 : run_body();
    if (line != 0) {
        add_traceback_entry(kInitEntry, line, kFileName);
        return exec_failed();
    }
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
