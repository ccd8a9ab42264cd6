// Saving a result and writing its file.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* save_simulation_result_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
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
