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

// The lines of _get_simulation_file_path's statements.
enum class PathLine : int {
    def = 84,
    simulations_dir = 97,  // simulations_dir = get_simulations_dir()
    type_dir = 98,         // type_dir = simulations_dir / simulation_type
    mkdir = 99,            // type_dir.mkdir(parents=True, exist_ok=True)
    file_path = 100,       // return type_dir / f"{component_name}_{simulation_id}.json"
};

// The lines of _find_simulation_file's statements.
enum class FindFileLine : int {
    def = 103,
    simulations_dir = 114,  // simulations_dir = get_simulations_dir()
    exists = 115,           // if not simulations_dir.exists():
    type_dirs = 118,        // for type_dir in simulations_dir.iterdir():
    is_dir = 119,           // if type_dir.is_dir():
    matches = 120,          // matches = list(type_dir.glob(f"*_{simulation_id}.json"))
};

struct PathArg {
    enum : int { simulation_type, component_name, simulation_id, count };
};

PyObject* refuse_type_name(const FuncDesc& f, PyObject* simulation_type)
{
    PyErr_Format(PyExc_ValueError, "simulation_type must be a single directory name, got %R", simulation_type);
    return body_error(f, PathLine::type_dir);
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

int child_path(PyObject* parent, PyObject* name, Ref* out)
{
    Ref child = Ref::steal(PyNumber_TrueDivide(parent, name));
    if (!child) return -1;
    // Judged by the path object's own rules: under Windows rules "D:x" joins
    // onto another drive and "C:" onto the root itself, which no character
    // test would tell.
    Ref above = getattr(child.get(), process.str.parent);
    if (!above) return -1;
    int placed = PyObject_RichCompareBool(above.get(), parent, Py_EQ);
    if (placed > 0) {
        Ref own_name = getattr(child.get(), process.str.name);
        placed = own_name ? PyObject_RichCompareBool(own_name.get(), name, Py_EQ) : -1;
    }
    if (placed > 0) *out = std::move(child);
    return placed;
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

Ref first_match(PyObject* type_dir, PyObject* pattern)
{
    Ref found = call_method(type_dir, process.str.glob, {pattern});
    if (!found) return found;
    Ref matches = Ref::steal(PySequence_List(found.get()));
    if (!matches) return matches;
    return Ref::borrow(PyList_GET_SIZE(matches.get()) > 0 ? PyList_GET_ITEM(matches.get(), 0) : Py_None);
}

namespace {

PyObject* get_simulation_file_path_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_type = a.v[PathArg::simulation_type];
    PyObject* component_name = a.v[PathArg::component_name];
    PyObject* simulation_id = a.v[PathArg::simulation_id];

    // Refused before anything is created: such names would place the result
    // outside its type directory, or create directories the look-up never scans.
    if (!is_plain_name(simulation_type)) return refuse_type_name(f, simulation_type);
    if (has_separator(component_name)) {
        PyErr_Format(PyExc_ValueError, "component_name must not contain path separators or NUL characters, got %R",
                     component_name);
        return body_error(f, PathLine::file_path);
    }

    Ref simulations_dir = call_global(process.str.get_simulations_dir);
    if (!simulations_dir) return body_error(f, PathLine::simulations_dir);
    Ref type_dir;
    const int type_placed = child_path(simulations_dir.get(), simulation_type, &type_dir);
    if (type_placed < 0) return body_error(f, PathLine::type_dir);
    if (type_placed == 0) return refuse_type_name(f, simulation_type);

    Ref file_name = concat({component_name, process.str.underscore, simulation_id, process.str.json_suffix});
    if (!file_name) return body_error(f, PathLine::file_path);
    Ref path;
    const int file_placed = child_path(type_dir.get(), file_name.get(), &path);
    if (file_placed < 0) return body_error(f, PathLine::file_path);
    if (file_placed == 0) {
        PyErr_Format(PyExc_ValueError, "component_name must name a file directly in the type directory, got %R",
                     component_name);
        return body_error(f, PathLine::file_path);
    }

    if (!call_method(type_dir.get(), process.str.mkdir, {Py_True, Py_True}, process.kw.kw_mkdir))
        return body_error(f, PathLine::mkdir);
    return path.release();
}

PyObject* find_simulation_file_body(const FuncDesc& f, const Bound& a)
{
    PyObject* simulation_id = a.v[SimulationIdArg::simulation_id];
    // No stored file name holds a separator or NUL, so such an ID has no file;
    // settled before the settings are even asked.
    if (has_separator(simulation_id)) Py_RETURN_NONE;

    Ref simulations_dir = call_global(process.str.get_simulations_dir);
    if (!simulations_dir) return body_error(f, FindFileLine::simulations_dir);
    int present = truth(call_method(simulations_dir.get(), process.str.exists));
    if (present < 0) return body_error(f, FindFileLine::exists);
    if (!present) Py_RETURN_NONE;

    Ref entries = call_method(simulations_dir.get(), process.str.iterdir);
    Ref it = entries ? Ref::steal(PyObject_GetIter(entries.get())) : Ref();
    if (!it) return body_error(f, FindFileLine::type_dirs);
    entries.reset();

    Ref pattern;
    while (Ref type_dir = Ref::steal(PyIter_Next(it.get()))) {
        int is_dir = truth(call_method(type_dir.get(), process.str.is_dir));
        if (is_dir < 0) return body_error(f, FindFileLine::is_dir);
        if (!is_dir) continue;

        if (!pattern && !(pattern = id_pattern(simulation_id))) return body_error(f, FindFileLine::matches);
        Ref match = first_match(type_dir.get(), pattern.get());
        if (!match) return body_error(f, FindFileLine::matches);
        if (match.get() != Py_None) return match.release();
    }
    if (PyErr_Occurred()) return body_error(f, FindFileLine::type_dirs);
    Py_RETURN_NONE;
}

}  // namespace

constexpr Params kPathParams = params({
    {"simulation_type", Check::Str, Default::Required, "str", "Type of simulation (e.g., \"vok\", \"brindle\")."},
    {"component_name", Check::Str, Default::Required, "str", "Name of the component."},
    {"simulation_id", Check::Str, Default::Required, "str", "The simulation ID."},
});
static_assert(kPathParams.count == PathArg::count);

FuncDesc get_simulation_file_path_desc = {
    .name = "_get_simulation_file_path",
    .line = line_of(PathLine::def),
    .params = kPathParams,
    .locals = {"simulations_dir", "type_dir"},
    .return_annotation = "Path",
    .doc = "Get the file path for a simulation result.",
    .returns = "Path to the simulation result file.",
    .body = get_simulation_file_path_body,
};

FuncDesc find_simulation_file_desc = {
    .name = "_find_simulation_file",
    .line = line_of(FindFileLine::def),
    .params = params(kSimulationIdParam),
    .locals = {"simulations_dir", "type_dir", "matches"},
    .return_annotation = "Path | None",
    .doc = "Find a simulation result file by its ID.\n"
           "\n"
           "Scans all simulation type directories to find the file.",
    .returns = "Path to the simulation file if found, None otherwise.",
    .body = find_simulation_file_body,
};

}  // namespace lumora
