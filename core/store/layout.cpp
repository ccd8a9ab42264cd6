// Storage layout: where a result file lives, and finding one by its ID.
#include "common.hpp"

namespace lumora {

namespace {

// True when s holds '/', '\\' or NUL. Any of them would carry a name out of
// its directory or cut it short at the operating system.
bool has_separator(PyObject* s)
{
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '/' || c == '\\' || c == 0) return true;
    }
    return false;
}

// "", "." and ".." name no directory of their own below the root.
bool is_dot_name(PyObject* s)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n > 2) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kind, data, i) != '.') return false;
    return true;
}

PyObject* get_simulation_file_path_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_type = a.v[0];
    PyObject* component_name = a.v[1];
    PyObject* simulation_id = a.v[2];

    // Refused before anything is created: such names would place the result
    // outside its type directory, or create directories the look-up never scans.
    if (is_dot_name(simulation_type) || has_separator(simulation_type)) {
        PyErr_Format(PyExc_ValueError, "simulation_type must be a single directory name, got %R", simulation_type);
        return failed_at(f, 98);
    }
    if (has_separator(component_name)) {
        PyErr_Format(PyExc_ValueError, "component_name must not contain path separators or NUL characters, got %R",
                     component_name);
        return failed_at(f, 100);
    }

    Ref simulations_dir;
    {
        Ref get_dir = lookup_global(process.str.get_simulations_dir);
        if (!get_dir) return failed_at(f, 97);
        simulations_dir = Ref::steal(PyObject_CallNoArgs(get_dir.get()));
        if (!simulations_dir) return failed_at(f, 97);
    }
    Ref type_dir = Ref::steal(PyNumber_TrueDivide(simulations_dir.get(), simulation_type));
    if (!type_dir) return failed_at(f, 98);
    if (!call_method(type_dir.get(), process.str.mkdir, {Py_True, Py_True}, process.kw.kw_mkdir)) return failed_at(f, 99);

    Ref file_name = concat({component_name, process.str.underscore, simulation_id, process.str.json_suffix});
    if (!file_name) return failed_at(f, 100);
    PyObject* path = PyNumber_TrueDivide(type_dir.get(), file_name.get());
    return path ? path : failed_at(f, 100);
}

// "*_" + the ID + ".json", with the glob's special characters of the ID
// bracketed as glob.escape does, so that the ID only ever matches itself.
Ref id_pattern(PyObject* simulation_id)
{
    const int kind = PyUnicode_KIND(simulation_id);
    const void* data = PyUnicode_DATA(simulation_id);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(simulation_id);
    Py_ssize_t specials = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        specials += (c == '*' || c == '?' || c == '[');
    }
    if (specials == 0) return concat({process.str.id_glob_prefix, simulation_id, process.str.json_suffix});

    const Py_ssize_t prefix = PyUnicode_GET_LENGTH(process.str.id_glob_prefix);
    const Py_ssize_t suffix = PyUnicode_GET_LENGTH(process.str.json_suffix);
    Ref out = Ref::steal(PyUnicode_New(prefix + n + 2 * specials + suffix, PyUnicode_MAX_CHAR_VALUE(simulation_id)));
    if (!out) return out;
    const int out_kind = PyUnicode_KIND(out.get());
    void* out_data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    auto put = [&](Py_UCS4 c) { PyUnicode_WRITE(out_kind, out_data, at++, c); };
    for (Py_ssize_t i = 0; i < prefix; ++i) put(PyUnicode_READ_CHAR(process.str.id_glob_prefix, i));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '*' || c == '?' || c == '[') {
            put('[');
            put(c);
            put(']');
        } else {
            put(c);
        }
    }
    for (Py_ssize_t i = 0; i < suffix; ++i) put(PyUnicode_READ_CHAR(process.str.json_suffix, i));
    return out;
}

PyObject* find_simulation_file_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_id = a.v[0];
    // No stored file name holds a separator or NUL, so such an ID has no file;
    // settled before the settings are even asked.
    if (has_separator(simulation_id)) Py_RETURN_NONE;

    Ref simulations_dir;
    {
        Ref get_dir = lookup_global(process.str.get_simulations_dir);
        if (!get_dir) return failed_at(f, 114);
        simulations_dir = Ref::steal(PyObject_CallNoArgs(get_dir.get()));
        if (!simulations_dir) return failed_at(f, 114);
    }
    int present = truth(call_method(simulations_dir.get(), process.str.exists));
    if (present < 0) return failed_at(f, 115);
    if (!present) Py_RETURN_NONE;

    Ref entries = call_method(simulations_dir.get(), process.str.iterdir);
    if (!entries) return failed_at(f, 118);
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return failed_at(f, 118);
    entries.reset();

    Ref pattern;
    while (true) {
        Ref type_dir = Ref::steal(PyIter_Next(it.get()));
        if (!type_dir) {
            if (PyErr_Occurred()) return failed_at(f, 118);
            break;
        }
        int is_dir = truth(call_method(type_dir.get(), process.str.is_dir));
        if (is_dir < 0) return failed_at(f, 119);
        if (!is_dir) continue;

        if (!pattern) {
            pattern = id_pattern(simulation_id);
            if (!pattern) return failed_at(f, 120);
        }
        Ref found = call_method(type_dir.get(), process.str.glob, {pattern.get()});
        if (!found) return failed_at(f, 120);
        Ref matches = Ref::steal(PySequence_List(found.get()));
        if (!matches) return failed_at(f, 120);
        if (PyList_GET_SIZE(matches.get()) > 0) return Py_NewRef(PyList_GET_ITEM(matches.get(), 0));
    }
    Py_RETURN_NONE;
}

}  // namespace

FuncDesc get_simulation_file_path_desc = {
    .name = "_get_simulation_file_path",
    .line = 84,
    .params = params({
        {"simulation_type", Check::Str, Default::Required, "str"},
        {"component_name", Check::Str, Default::Required, "str"},
        {"simulation_id", Check::Str, Default::Required, "str"},
    }),
    .locals = {"simulations_dir", "type_dir"},
    .return_annotation = "Path",
    .doc = "Get the file path for a simulation result.\n"
           "\n"
           "Args:\n"
           "    simulation_type: Type of simulation (e.g., \"vok\", \"brindle\").\n"
           "    component_name: Name of the component.\n"
           "    simulation_id: The simulation ID.\n"
           "\n"
           "Returns:\n"
           "    Path to the simulation result file.",
    .body = get_simulation_file_path_body,
};

FuncDesc find_simulation_file_desc = {
    .name = "_find_simulation_file",
    .line = 103,
    .params = params({
        {"simulation_id", Check::Str, Default::Required, "str"},
    }),
    .locals = {"simulations_dir", "type_dir", "matches"},
    .return_annotation = "Path | None",
    .doc = "Find a simulation result file by its ID.\n"
           "\n"
           "Scans all simulation type directories to find the file.\n"
           "\n"
           "Args:\n"
           "    simulation_id: The unique simulation ID.\n"
           "\n"
           "Returns:\n"
           "    Path to the simulation file if found, None otherwise.",
    .body = find_simulation_file_body,
};

}  // namespace lumora
