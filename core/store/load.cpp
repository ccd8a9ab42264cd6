// Loading a result by ID and the cache look-up by identity fields.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* load_simulation_result_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

PyObject* find_simulation_result_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
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
