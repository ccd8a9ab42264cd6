// Saving a result and writing its file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <random>
#include <unordered_set>
#include <vector>

#include "common.hpp"

namespace lumora {

namespace {

// Sixteen lower-case hexadecimal digits from the system's random source, fresh
// per call (no generator state that a fork could duplicate).
Ref random_suffix()
{
    static constexpr char kDigits[] = "0123456789abcdef";
    uint64_t bits = 0;
    try {
        static std::random_device source;
        bits = (static_cast<uint64_t>(source()) << 32) ^ source();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_OSError, "no random source for a temporary file name: %s", e.what());
        return Ref();
    }
    char text[16];
    for (int i = 15; i >= 0; --i, bits >>= 4) text[i] = kDigits[bits & 0xF];
    return Ref::steal(PyUnicode_FromStringAndSize(text, 16));
}

// Removes a temporary file after a failed write or move; the failure that got
// us here is what the caller sees, whatever the removal does.
void discard_temporary(PyObject* tmp_path)
{
    PyObject* failure = PyErr_GetRaisedException();
    if (!call_method(tmp_path, g.str.unlink)) PyErr_Clear();
    PyErr_SetRaisedException(failure);
}

// The longest file name that common file systems accept, in bytes of the
// file-system encoding (ext4, XFS, APFS; NTFS counts 255 UTF-16 units, which
// never exceed the UTF-8 bytes).
constexpr Py_ssize_t kMaxNameBytes = 255;
// What a temporary name adds to its stem: "." before, "." + 16 digits + ".tmp" after.
constexpr Py_ssize_t kTemporaryExtra = 1 + 1 + 16 + 4;

// Bytes of text in the file-system encoding; -1 with the exception set when
// the text cannot be encoded (then no file of that name can exist either).
Py_ssize_t encoded_size(PyObject* text)
{
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text));
    return bytes ? PyBytes_GET_SIZE(bytes.get()) : -1;
}

// The result's file name, or its longest prefix (whole characters) that
// leaves room for the rest of a temporary name within kMaxNameBytes: every
// name the file system accepts for a result must also save.
Ref temporary_stem(PyObject* name)
{
    constexpr Py_ssize_t budget = kMaxNameBytes - kTemporaryExtra;
    const Py_ssize_t whole = encoded_size(name);
    if (whole < 0) return Ref();
    if (whole <= budget) return Ref::borrow(name);
    // Bisect on the prefix length; a character takes at least one byte, so
    // no prefix longer than the budget fits.
    Py_ssize_t fits = 0;
    Py_ssize_t too_long = std::min(PyUnicode_GET_LENGTH(name), budget + 1);
    while (too_long - fits > 1) {
        const Py_ssize_t mid = fits + (too_long - fits) / 2;
        Ref prefix = Ref::steal(PyUnicode_Substring(name, 0, mid));
        const Py_ssize_t size = prefix ? encoded_size(prefix.get()) : -1;
        if (size < 0) return Ref();
        (size <= budget ? fits : too_long) = mid;
    }
    return Ref::steal(PyUnicode_Substring(name, 0, fits));
}

// Writes content beside file_path and moves it into place, so that readers
// (and a crash) see the old file or the new one, never half of one. The
// temporary name is "." + the result's name (or its prefix) + "." + 16
// hexadecimal digits + ".tmp": no "*.json" scan meets it, and tidying
// recognises a stray one by that shape.
bool write_atomically(PyObject* file_path, PyObject* content)
{
    Ref tmp_path;
    {
        Ref name = getattr(file_path, g.str.name);
        if (!name) return false;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "path name must be str, not %.200s", Py_TYPE(name.get())->tp_name);
            return false;
        }
        Ref stem = temporary_stem(name.get());
        if (!stem) return false;
        Ref suffix = random_suffix();
        if (!suffix) return false;
        Ref tmp_name = concat({g.str.dot, stem.get(), g.str.dot, suffix.get(), g.str.tmp_suffix});
        if (!tmp_name) return false;
        tmp_path = call_method(file_path, g.str.with_name, {tmp_name.get()});
        if (!tmp_path) return false;
    }
    if (!call_method(tmp_path.get(), g.str.write_bytes, {content})
        || !call_method(tmp_path.get(), g.str.replace, {file_path})) {
        discard_temporary(tmp_path.get());
        return false;
    }
    return true;
}

// ---- refusing non-finite numbers ----

// One container on the way from a field to the value being checked.
struct Level {
    PyObject* container;  // borrowed: a dict, list or tuple
    Py_ssize_t pos;       // PyDict_Next position, or the index of the next item
    PyObject* key;        // the dict key of the current item (borrowed); null for sequences
};

// Paths shallower than this are walked without a cycle guard; only a cycle
// (or hostile nesting) gets deeper, and orjson refuses both anyway.
constexpr size_t kGuardDepth = 64;

// Subscripts shown at each end of a deeper path.
constexpr size_t kShownLevels = 10;

// Sets the ValueError for a non-finite number at the end of path: the field
// name followed by one subscript per level, as Python would write it.
void refuse_non_finite(PyObject* field, const std::vector<Level>& path, double number)
{
    // Own the keys first: their repr is Python code that could change the containers.
    std::vector<Ref> keys;
    keys.reserve(path.size());
    for (const Level& level : path) keys.push_back(Ref::borrow(level.key));
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), field) < 0) return;
    for (size_t i = 0; i < path.size(); ++i) {
        // Hostile nesting would make the text as long as the data: its middle goes.
        if (path.size() > 2 * kShownLevels && i == kShownLevels) {
            if (PyList_Append(parts.get(), g.str.elided_levels) < 0) return;
            i = path.size() - kShownLevels;
        }
        Ref part = keys[i] ? Ref::steal(PyUnicode_FromFormat("[%R]", keys[i].get()))
                           : Ref::steal(PyUnicode_FromFormat("[%zd]", path[i].pos - 1));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return;
    }
    Ref where = Ref::steal(PyUnicode_Join(g.empty_str, parts.get()));
    if (!where) return;
    const char* text = std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf";
    PyErr_Format(PyExc_ValueError, "%U is %s: only finite numbers can be saved (JSON has no NaN or infinity)",
                 where.get(), text);
}

// The next item of the innermost container, or null when it is exhausted.
PyObject* next_item(Level& level)
{
    PyObject* container = level.container;
    if (PyDict_Check(container)) {
        PyObject* value;
        return PyDict_Next(container, &level.pos, &level.key, &value) ? value : nullptr;
    }
    if (PyList_Check(container))
        return level.pos < PyList_GET_SIZE(container) ? PyList_GET_ITEM(container, level.pos++) : nullptr;
    return level.pos < PyTuple_GET_SIZE(container) ? PyTuple_GET_ITEM(container, level.pos++) : nullptr;
}

// False with ValueError set when value holds NaN or an infinity, in itself
// or in dicts, lists and tuples nested to any depth; orjson would write null
// in its place and the file would no longer hold what was saved. Iterative,
// so depth costs memory rather than C stack; it runs no Python code, so the
// borrowed containers stay as they are while it walks.
bool all_finite(PyObject* field, PyObject* value)
{
    try {
        std::vector<Level> path;
        std::unordered_set<PyObject*> open;  // the path's containers, while it is deeper than kGuardDepth
        PyObject* item = value;
        while (true) {
            if (PyFloat_CheckExact(item) || PyFloat_Check(item)) {
                const double number = PyFloat_AS_DOUBLE(item);
                if (!std::isfinite(number)) [[unlikely]] {
                    refuse_non_finite(field, path, number);
                    return false;
                }
            }
            else if (PyDict_Check(item) || PyList_Check(item) || PyTuple_Check(item)) {
                bool enter = true;
                if (path.size() >= kGuardDepth) [[unlikely]] {
                    if (open.empty())
                        for (const Level& level : path) open.insert(level.container);
                    // A container already on the path is being checked there.
                    enter = open.insert(item).second;
                }
                if (enter) path.push_back(Level{item, 0, nullptr});
            }
            item = nullptr;
            while (!path.empty() && !(item = next_item(path.back()))) {
                PyObject* done = path.back().container;
                path.pop_back();
                if (path.size() >= kGuardDepth) open.erase(done);
                else if (!open.empty()) open.clear();  // the guard is rebuilt when the path is deep again
            }
            if (!item) return true;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

PyObject* save_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    PyObject* component_name = a.v[0];
    PyObject* factory_name = a.v[1];
    PyObject* component_settings = a.v[2];
    PyObject* model_parameters = a.v[3];
    PyObject* hyperparameters = a.v[4];
    PyObject* simulation_type = a.v[5];
    PyObject* result = a.v[6];
    PyObject* wavelengths = a.v[7];
    PyObject* status = a.v[9];
    PyObject* error_message = a.v[10];
    PyObject* pdk_version = a.v[11];

    // Refused before anything is made, so a refusal leaves no trace on disk.
    if (!all_finite(g.str.component_settings, component_settings) || !all_finite(g.str.model_parameters, model_parameters)
        || !all_finite(g.str.result, result))
        return body_error(f, 159);

    // 1. The ID.
    Ref simulation_id;
    {
        Ref compute = lookup_global(g.str._compute_simulation_id);
        if (!compute) return body_error(f, 161);
        simulation_id = call(compute.get(),
                             {component_name, factory_name, component_settings, model_parameters, hyperparameters,
                              simulation_type},
                             g.kw.kw_identity);
        if (!simulation_id) return body_error(f, 161);
    }

    // 2. The path; its directory exists afterwards.
    Ref file_path;
    {
        Ref get_path = lookup_global(g.str._get_simulation_file_path);
        if (!get_path) return body_error(f, 171);
        file_path = call(get_path.get(), {simulation_type, component_name, simulation_id.get()});
        if (!file_path) return body_error(f, 171);
    }

    // 3 to 8. The record.
    Ref stored_result;
    {
        Ref model = lookup_global(g.str.StoredSimulationResult);
        if (!model) return body_error(f, 176);

        Ref pdk_name;
        {
            Ref get_pdk = lookup_global(g.str.get_pdk_name);
            if (!get_pdk) return body_error(f, 184);
            pdk_name = Ref::steal(PyObject_CallNoArgs(get_pdk.get()));
            if (!pdk_name) return body_error(f, 184);
        }

        Ref simulation_date;
        {
            Ref datetime = lookup_global(g.str.datetime);
            if (!datetime) return body_error(f, 186);
            Ref now = getattr(datetime.get(), g.str.now);
            if (!now) return body_error(f, 186);
            Ref utc = lookup_global(g.str.UTC);
            if (!utc) return body_error(f, 186);
            Ref moment = call(now.get(), {utc.get()});
            if (!moment) return body_error(f, 186);
            simulation_date = call_method(moment.get(), g.str.isoformat);
            if (!simulation_date) return body_error(f, 186);
        }

        Ref lumora_version;
        {
            Ref version = lookup_global(g.str.dunder_version);
            if (!version) return body_error(f, 187);
            lumora_version = Ref::steal(PyObject_Str(version.get()));
            if (!lumora_version) return body_error(f, 187);
        }

        Ref seconds = Ref::steal(PyFloat_FromDouble(a.number));
        if (!seconds) return body_error(f, 190);

        stored_result = call(model.get(),
                             {component_name, factory_name, component_settings, model_parameters, hyperparameters,
                              simulation_type, simulation_id.get(), pdk_name.get(), pdk_version,
                              simulation_date.get(), lumora_version.get(), result, wavelengths, seconds.get(), status,
                              error_message},
                             g.kw.kw_record);
        if (!stored_result) return body_error(f, 176);
    }

    // 9 to 12. The file's bytes.
    Ref content;
    {
        Ref orjson = lookup_global(g.str.orjson);
        if (!orjson) return body_error(f, 197);
        Ref dumps = getattr(orjson.get(), g.str.dumps);
        if (!dumps) return body_error(f, 197);
        Ref dumped = call_method(stored_result.get(), g.str.model_dump);
        if (!dumped) return body_error(f, 198);
        orjson = lookup_global(g.str.orjson);
        if (!orjson) return body_error(f, 199);
        Ref indent = getattr(orjson.get(), g.str.OPT_INDENT_2);
        if (!indent) return body_error(f, 199);
        content = call(dumps.get(), {dumped.get(), indent.get()}, g.kw.kw_option);
        if (!content) return body_error(f, 197);
    }

    // 13. The file.
    if (!write_atomically(file_path.get(), content.get())) return body_error(f, 196);
    content.reset();

    // 14. The message.
    if (!log_message(g.str.debug, [&] { return join_text(g.str.msg_saved, file_path.get()); }))
        return body_error(f, 203);

    return stored_result.release();
}

}  // namespace

FuncDesc save_simulation_result_desc = {
    .name = "save_simulation_result",
    .qualname = "save_simulation_result",
    .code_name = "save_simulation_result",
    .tb_name = "lumora.core.simulation_storage.save_simulation_result",
    .line = 126,
    .conv_line = 136,
    .kwonly = true,
    .nparams = 12,
    .params = {
        {"component_name", Check::Str, Default::Required, "str"},
        {"factory_name", Check::Str, Default::Required, "str"},
        {"component_settings", Check::Dict, Default::Required, "dict[str, Any]"},
        {"model_parameters", Check::Dict, Default::Required, "dict[str, Any]"},
        {"hyperparameters", Check::Any, Default::Required, "SimulationHyperparameters"},
        {"simulation_type", Check::Any, Default::Required, "SimulationType"},
        {"result", Check::Any, Default::Required, "SerializedSimulationResult"},
        {"wavelengths", Check::List, Default::Required, "list[float]"},
        {"execution_time_seconds", Check::Double, Default::Required, "float"},
        {"status", Check::Any, Default::Success, "SimulationStatus"},
        {"error_message", Check::Str, Default::EmptyStr, "str"},
        {"pdk_version", Check::Str, Default::EmptyStr, "str"},
    },
    .locals = {"simulation_id", "file_path", "stored_result"},
    .return_annotation = "StoredSimulationResult",
    .doc = "save_simulation_result(*, str component_name: str, str factory_name: str, dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], hyperparameters: SimulationHyperparameters, simulation_type: SimulationType, result: SerializedSimulationResult, list wavelengths: list[float], double execution_time_seconds: float, status: SimulationStatus = 'success', str error_message: str = '', str pdk_version: str = '') -> StoredSimulationResult\n\nSave a simulation result to file.\n\nArgs:\n    component_name: Name of the component.\n    factory_name: Name of the factory.\n    component_settings: Component settings dictionary.\n    model_parameters: Model parameters dictionary.\n    hyperparameters: Simulation hyperparameters.\n    simulation_type: Type of simulation.\n    result: Serialized simulation result.\n    wavelengths: List of wavelengths used.\n    execution_time_seconds: Execution time in seconds.\n    status: Status of the simulation (\"success\" or \"error\").\n    error_message: Error message if status is \"error\".\n    pdk_version: Version of the PDK used.\n\nReturns:\n    The stored simulation result with computed ID.",
    .body = save_simulation_result_body,
};

}  // namespace lumora
