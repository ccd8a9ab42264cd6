// Loading a result by ID and the cache look-up by identity fields.
#include "common.hpp"

namespace lumora {

namespace {

// The warning for a file that the scan found but that is gone by now.
PyObject* report_missing(const FuncDesc& f, PyObject* file_path)
{
    if (!log_message(g.str.warning, [&] { return join_text(g.str.msg_not_found, file_path); }))
        return body_error(f, 222);
    Py_RETURN_NONE;
}

PyObject* load_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref file_path;
    {
        Ref find = lookup_global(g.str._find_simulation_file);
        if (!find) return body_error(f, 217);
        file_path = call(find.get(), {a.v[0]});
        if (!file_path) return body_error(f, 217);
    }
    if (file_path.get() == Py_None) return file_path.release();

    int present = truth(call_method(file_path.get(), g.str.exists));
    if (present < 0) return body_error(f, 221);
    if (!present) return report_missing(f, file_path.get());

    Ref data;
    {
        Ref orjson = lookup_global(g.str.orjson);
        if (!orjson) return body_error(f, 226);
        Ref loads = getattr(orjson.get(), g.str.loads);
        if (!loads) return body_error(f, 226);
        Ref raw = call_method(file_path.get(), g.str.read_bytes);
        if (!raw) {
            // Removed since the exists() test: the same outcome as before it.
            if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return body_error(f, 226);
            Ref gone = Ref::steal(PyErr_GetRaisedException());
            HandledScope handling(gone.get());
            return report_missing(f, file_path.get());
        }
        data = call(loads.get(), {raw.get()});
        if (!data) return body_error(f, 226);
    }

    Ref model = lookup_global(g.str.StoredSimulationResult);
    if (!model) return body_error(f, 227);
    PyObject* record = call_method(model.get(), g.str.model_validate, {data.get()}).release();
    return record ? record : body_error(f, 227);
}

PyObject* find_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref simulation_id;
    {
        Ref compute = lookup_global(g.str._compute_simulation_id);
        if (!compute) return body_error(f, 255);
        simulation_id = call(compute.get(), {a.v[0], a.v[1], a.v[2], a.v[3], a.v[4], a.v[5]}, g.kw.kw_identity);
        if (!simulation_id) return body_error(f, 255);
    }
    Ref load = lookup_global(g.str.load_simulation_result);
    if (!load) return body_error(f, 263);
    PyObject* record = call(load.get(), {simulation_id.get()}).release();
    return record ? record : body_error(f, 263);
}

}  // namespace

FuncDesc load_simulation_result_desc = {
    .name = "load_simulation_result",
    .qualname = "load_simulation_result",
    .code_name = "load_simulation_result",
    .tb_name = "lumora.core.simulation_storage.load_simulation_result",
    .line = 208,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 1,
    .params = {
        {"simulation_id", Check::Str, Default::Required, "str"},
    },
    .locals = {"file_path", "data"},
    .return_annotation = "StoredSimulationResult | None",
    .doc = "load_simulation_result(str simulation_id: str) -> StoredSimulationResult | None\n\nLoad a simulation result by its ID.\n\nArgs:\n    simulation_id: The unique simulation ID.\n\nReturns:\n    StoredSimulationResult if found, None otherwise.",
    .body = load_simulation_result_body,
};

FuncDesc find_simulation_result_desc = {
    .name = "find_simulation_result",
    .qualname = "find_simulation_result",
    .code_name = "find_simulation_result",
    .tb_name = "lumora.core.simulation_storage.find_simulation_result",
    .line = 230,
    .conv_line = 0,
    .kwonly = true,
    .nparams = 6,
    .params = {
        {"component_name", Check::Str, Default::Required, "str"},
        {"factory_name", Check::Str, Default::Required, "str"},
        {"component_settings", Check::Dict, Default::Required, "dict[str, Any]"},
        {"model_parameters", Check::Dict, Default::Required, "dict[str, Any]"},
        {"hyperparameters", Check::Any, Default::Required, "SimulationHyperparameters"},
        {"simulation_type", Check::Any, Default::Required, "SimulationType"},
    },
    .locals = {"simulation_id"},
    .return_annotation = "StoredSimulationResult | None",
    .doc = "find_simulation_result(*, str component_name: str, str factory_name: str, dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], hyperparameters: SimulationHyperparameters, simulation_type: SimulationType) -> StoredSimulationResult | None\n\nFind a cached simulation result by its identity fields.\n\nThis computes the deterministic ID from the inputs and looks up\nthe corresponding result.\n\nArgs:\n    component_name: Name of the component.\n    factory_name: Name of the factory.\n    component_settings: Component settings dictionary.\n    model_parameters: Model parameters dictionary.\n    hyperparameters: Simulation hyperparameters.\n    simulation_type: Type of simulation.\n\nReturns:\n    StoredSimulationResult if found, None otherwise.",
    .body = find_simulation_result_body,
};

}  // namespace lumora
