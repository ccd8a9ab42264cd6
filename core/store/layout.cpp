// Storage layout: where a result file lives, and finding one by its ID.
#include "common.hpp"

namespace lumora {

namespace {

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

PyObject* refuse_type_name(const FuncDesc& f, PyObject* simulation_type)
{
    PyErr_Format(PyExc_ValueError, "simulation_type must be a single directory name, got %R", simulation_type);
    return body_error(f, 98);
}

}  // namespace

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

bool is_plain_name(PyObject* name) { return !is_dot_name(name) && !has_separator(name); }

Ref child_path(PyObject* parent, PyObject* name)
{
    Ref child = Ref::steal(PyNumber_TrueDivide(parent, name));
    if (!child) return child;
    // Judged by the path object's own rules: under Windows rules "D:x" joins
    // onto another drive and "C:" onto the root itself, which no character
    // test would tell.
    Ref above = getattr(child.get(), g.str.parent);
    if (!above) return above;
    int placed = PyObject_RichCompareBool(above.get(), parent, Py_EQ);
    if (placed > 0) {
        Ref own_name = getattr(child.get(), g.str.name);
        placed = own_name ? PyObject_RichCompareBool(own_name.get(), name, Py_EQ) : -1;
    }
    if (placed < 0) return Ref();
    return placed ? std::move(child) : Ref();
}

// The specials are bracketed as glob.escape does.
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
    if (specials == 0) return concat({g.str.id_glob_prefix, simulation_id, g.str.json_suffix});

    const Py_ssize_t prefix = PyUnicode_GET_LENGTH(g.str.id_glob_prefix);
    const Py_ssize_t suffix = PyUnicode_GET_LENGTH(g.str.json_suffix);
    Ref out = Ref::steal(PyUnicode_New(prefix + n + 2 * specials + suffix, PyUnicode_MAX_CHAR_VALUE(simulation_id)));
    if (!out) return out;
    const int out_kind = PyUnicode_KIND(out.get());
    void* out_data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    auto put = [&](Py_UCS4 c) { PyUnicode_WRITE(out_kind, out_data, at++, c); };
    for (Py_ssize_t i = 0; i < prefix; ++i) put(PyUnicode_READ_CHAR(g.str.id_glob_prefix, i));
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
    for (Py_ssize_t i = 0; i < suffix; ++i) put(PyUnicode_READ_CHAR(g.str.json_suffix, i));
    return out;
}

Ref first_match(PyObject* type_dir, PyObject* pattern)
{
    Ref found = call_method(type_dir, g.str.glob, {pattern});
    if (!found) return found;
    Ref matches = Ref::steal(PySequence_List(found.get()));
    if (!matches) return matches;
    return Ref::borrow(PyList_GET_SIZE(matches.get()) > 0 ? PyList_GET_ITEM(matches.get(), 0) : Py_None);
}

namespace {

PyObject* get_simulation_file_path_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_type = a.v[0];
    PyObject* component_name = a.v[1];
    PyObject* simulation_id = a.v[2];

    // Refused before anything is created: such names would place the result
    // outside its type directory, or create directories the look-up never scans.
    if (!is_plain_name(simulation_type)) return refuse_type_name(f, simulation_type);
    if (has_separator(component_name)) {
        PyErr_Format(PyExc_ValueError, "component_name must not contain path separators or NUL characters, got %R",
                     component_name);
        return body_error(f, 100);
    }

    Ref simulations_dir;
    {
        Ref get_dir = lookup_global(g.str.get_simulations_dir);
        if (!get_dir) return body_error(f, 97);
        simulations_dir = Ref::steal(PyObject_CallNoArgs(get_dir.get()));
        if (!simulations_dir) return body_error(f, 97);
    }
    Ref type_dir = child_path(simulations_dir.get(), simulation_type);
    if (!type_dir) return PyErr_Occurred() ? body_error(f, 98) : refuse_type_name(f, simulation_type);

    Ref file_name = concat({component_name, g.str.underscore, simulation_id, g.str.json_suffix});
    if (!file_name) return body_error(f, 100);
    Ref path = child_path(type_dir.get(), file_name.get());
    if (!path) {
        if (PyErr_Occurred()) return body_error(f, 100);
        PyErr_Format(PyExc_ValueError, "component_name must name a file directly in the type directory, got %R",
                     component_name);
        return body_error(f, 100);
    }

    if (!call_method(type_dir.get(), g.str.mkdir, {Py_True, Py_True}, g.kw.kw_mkdir)) return body_error(f, 99);
    return path.release();
}

PyObject* find_simulation_file_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_id = a.v[0];
    // No stored file name holds a separator or NUL, so such an ID has no file;
    // settled before the settings are even asked.
    if (has_separator(simulation_id)) Py_RETURN_NONE;

    Ref simulations_dir;
    {
        Ref get_dir = lookup_global(g.str.get_simulations_dir);
        if (!get_dir) return body_error(f, 114);
        simulations_dir = Ref::steal(PyObject_CallNoArgs(get_dir.get()));
        if (!simulations_dir) return body_error(f, 114);
    }
    int present = truth(call_method(simulations_dir.get(), g.str.exists));
    if (present < 0) return body_error(f, 115);
    if (!present) Py_RETURN_NONE;

    Ref entries = call_method(simulations_dir.get(), g.str.iterdir);
    if (!entries) return body_error(f, 118);
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return body_error(f, 118);
    entries.reset();

    Ref pattern;
    while (true) {
        Ref type_dir = Ref::steal(PyIter_Next(it.get()));
        if (!type_dir) {
            if (PyErr_Occurred()) return body_error(f, 118);
            break;
        }
        int is_dir = truth(call_method(type_dir.get(), g.str.is_dir));
        if (is_dir < 0) return body_error(f, 119);
        if (!is_dir) continue;

        if (!pattern) {
            pattern = id_pattern(simulation_id);
            if (!pattern) return body_error(f, 120);
        }
        Ref match = first_match(type_dir.get(), pattern.get());
        if (!match) return body_error(f, 120);
        if (match.get() != Py_None) return match.release();
    }
    Py_RETURN_NONE;
}

}  // namespace

FuncDesc get_simulation_file_path_desc = {
    .name = "_get_simulation_file_path",
    .qualname = "_get_simulation_file_path",
    .code_name = "_get_simulation_file_path",
    .tb_name = "lumora.core.simulation_storage._get_simulation_file_path",
    .line = 84,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 3,
    .params = {
        {"simulation_type", Check::Str, Default::Required, "str"},
        {"component_name", Check::Str, Default::Required, "str"},
        {"simulation_id", Check::Str, Default::Required, "str"},
    },
    .locals = {"simulations_dir", "type_dir"},
    .return_annotation = "Path",
    .doc = "_get_simulation_file_path(str simulation_type: str, str component_name: str, str simulation_id: str) -> Path\n\nGet the file path for a simulation result.\n\nArgs:\n    simulation_type: Type of simulation (e.g., \"vok\", \"brindle\").\n    component_name: Name of the component.\n    simulation_id: The simulation ID.\n\nReturns:\n    Path to the simulation result file.",
    .body = get_simulation_file_path_body,
};

FuncDesc find_simulation_file_desc = {
    .name = "_find_simulation_file",
    .qualname = "_find_simulation_file",
    .code_name = "_find_simulation_file",
    .tb_name = "lumora.core.simulation_storage._find_simulation_file",
    .line = 103,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 1,
    .params = {
        {"simulation_id", Check::Str, Default::Required, "str"},
    },
    .locals = {"simulations_dir", "type_dir", "matches"},
    .return_annotation = "Path | None",
    .doc = "_find_simulation_file(str simulation_id: str) -> Path | None\n\nFind a simulation result file by its ID.\n\nScans all simulation type directories to find the file.\n\nArgs:\n    simulation_id: The unique simulation ID.\n\nReturns:\n    Path to the simulation file if found, None otherwise.",
    .body = find_simulation_file_body,
};

}  // namespace lumora
