// Saving a result and writing its file.
#include <cstdint>
#include <exception>
#include <random>

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
    if (!call_method(tmp_path, process.str.unlink)) PyErr_Clear();
    PyErr_SetRaisedException(failure);
}

// Writes content beside file_path and moves it into place, so that readers
// (and a crash) see the old file or the new one, never half of one. The
// temporary name starts with a dot and ends in ".tmp": no "*.json" scan meets
// it. -1 on failure.
int write_atomically(PyObject* file_path, PyObject* content)
{
    Ref tmp_path;
    {
        Ref name = getattr(file_path, process.str.name);
        if (!name) return -1;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "path name must be str, not %.200s", Py_TYPE(name.get())->tp_name);
            return -1;
        }
        Ref suffix = random_suffix();
        if (!suffix) return -1;
        Ref tmp_name = concat({process.str.dot, name.get(), process.str.dot, suffix.get(), process.str.tmp_suffix});
        if (!tmp_name) return -1;
        tmp_path = call_method(file_path, process.str.with_name, {tmp_name.get()});
        if (!tmp_path) return -1;
    }
    if (!call_method(tmp_path.get(), process.str.write_bytes, {content})
        || !call_method(tmp_path.get(), process.str.replace, {file_path})) {
        discard_temporary(tmp_path.get());
        return -1;
    }
    return 0;
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

    // 1. The ID.
    Ref simulation_id;
    {
        Ref compute = lookup_global(process.str._compute_simulation_id);
        if (!compute) return failed_at(f, 161);
        simulation_id = call(compute.get(),
                             {component_name, factory_name, component_settings, model_parameters, hyperparameters,
                              simulation_type},
                             process.kw.kw_identity);
        if (!simulation_id) return failed_at(f, 161);
    }

    // 2. The path; its directory exists afterwards.
    Ref file_path;
    {
        Ref get_path = lookup_global(process.str._get_simulation_file_path);
        if (!get_path) return failed_at(f, 171);
        file_path = call(get_path.get(), {simulation_type, component_name, simulation_id.get()});
        if (!file_path) return failed_at(f, 171);
    }

    // 3 to 8. The record.
    Ref stored_result;
    {
        Ref model = lookup_global(process.str.StoredSimulationResult);
        if (!model) return failed_at(f, 176);

        Ref pdk_name;
        {
            Ref get_pdk = lookup_global(process.str.get_pdk_name);
            if (!get_pdk) return failed_at(f, 184);
            pdk_name = Ref::steal(PyObject_CallNoArgs(get_pdk.get()));
            if (!pdk_name) return failed_at(f, 184);
        }

        Ref simulation_date;
        {
            Ref datetime = lookup_global(process.str.datetime);
            if (!datetime) return failed_at(f, 186);
            Ref now = getattr(datetime.get(), process.str.now);
            if (!now) return failed_at(f, 186);
            Ref utc = lookup_global(process.str.UTC);
            if (!utc) return failed_at(f, 186);
            Ref moment = call(now.get(), {utc.get()});
            if (!moment) return failed_at(f, 186);
            simulation_date = call_method(moment.get(), process.str.isoformat);
            if (!simulation_date) return failed_at(f, 186);
        }

        Ref lumora_version;
        {
            Ref version = lookup_global(process.str.dunder_version);
            if (!version) return failed_at(f, 187);
            lumora_version = Ref::steal(PyObject_Str(version.get()));
            if (!lumora_version) return failed_at(f, 187);
        }

        Ref seconds = Ref::steal(PyFloat_FromDouble(a.number));
        if (!seconds) return failed_at(f, 190);

        stored_result = call(model.get(),
                             {component_name, factory_name, component_settings, model_parameters, hyperparameters,
                              simulation_type, simulation_id.get(), pdk_name.get(), pdk_version,
                              simulation_date.get(), lumora_version.get(), result, wavelengths, seconds.get(), status,
                              error_message},
                             process.kw.kw_record);
        if (!stored_result) return failed_at(f, 176);
    }

    // 9 to 12. The file's bytes.
    Ref content;
    {
        Ref orjson = lookup_global(process.str.orjson);
        if (!orjson) return failed_at(f, 197);
        Ref dumps = getattr(orjson.get(), process.str.dumps);
        if (!dumps) return failed_at(f, 197);
        Ref dumped = call_method(stored_result.get(), process.str.model_dump);
        if (!dumped) return failed_at(f, 198);
        orjson = lookup_global(process.str.orjson);
        if (!orjson) return failed_at(f, 199);
        Ref indent = getattr(orjson.get(), process.str.OPT_INDENT_2);
        if (!indent) return failed_at(f, 199);
        content = call(dumps.get(), {dumped.get(), indent.get()}, process.kw.kw_option);
        if (!content) return failed_at(f, 197);
    }

    // 13. The file.
    if (write_atomically(file_path.get(), content.get()) < 0) return failed_at(f, 196);
    content.reset();

    // 14. The message.
    if (log_message(process.str.debug, [&] { return join_text(process.str.msg_saved, file_path.get()); }) < 0)
        return failed_at(f, 203);

    return stored_result.release();
}

}  // namespace

FuncDesc save_simulation_result_desc = {
    .name = "save_simulation_result",
    .line = 126,
    .conv_line = 136,
    .kwonly = true,
    .params = params({
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
    }),
    .locals = {"simulation_id", "file_path", "stored_result"},
    .return_annotation = "StoredSimulationResult",
    .doc = "Save a simulation result to file.\n"
           "\n"
           "Args:\n"
           "    component_name: Name of the component.\n"
           "    factory_name: Name of the factory.\n"
           "    component_settings: Component settings dictionary.\n"
           "    model_parameters: Model parameters dictionary.\n"
           "    hyperparameters: Simulation hyperparameters.\n"
           "    simulation_type: Type of simulation.\n"
           "    result: Serialized simulation result.\n"
           "    wavelengths: List of wavelengths used.\n"
           "    execution_time_seconds: Execution time in seconds.\n"
           "    status: Status of the simulation (\"success\" or \"error\").\n"
           "    error_message: Error message if status is \"error\".\n"
           "    pdk_version: Version of the PDK used.\n"
           "\n"
           "Returns:\n"
           "    The stored simulation result with computed ID.",
    .body = save_simulation_result_body,
};

}  // namespace lumora
