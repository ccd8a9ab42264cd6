// Simulation identity: the deterministic ID of a set of identity fields.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* compute_simulation_id_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

}  // namespace

FuncDesc compute_simulation_id_desc = {
    .name = "_compute_simulation_id",
    .qualname = "_compute_simulation_id",
    .code_name = "_compute_simulation_id",
    .tb_name = "lumora.core.simulation_storage._compute_simulation_id",
    .line = 46,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 6,
    .params = {
        {"component_name", Check::Str, Default::Required, "str"},
        {"factory_name", Check::Str, Default::Required, "str"},
        {"component_settings", Check::Dict, Default::Required, "dict[str, Any]"},
        {"model_parameters", Check::Dict, Default::Required, "dict[str, Any]"},
        {"hyperparameters", Check::Any, Default::Required, "SimulationHyperparameters"},
        {"simulation_type", Check::Str, Default::Required, "str"},
    },
    .locals = {"identity_data", "identity_str", "hash_bytes"},
    .return_annotation = "str",
    .doc = "_compute_simulation_id(str component_name: str, str factory_name: str, dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], hyperparameters: SimulationHyperparameters, str simulation_type: str) -> str\n\nCompute a deterministic hash-based ID for a simulation.\n\nThe ID is computed from the identity fields only, ensuring that\nthe same inputs always produce the same ID.\n\nArgs:\n    component_name: Name of the component.\n    factory_name: Name of the factory.\n    component_settings: Component settings dictionary.\n    model_parameters: Model parameters dictionary.\n    hyperparameters: Simulation hyperparameters.\n    simulation_type: Type of simulation.\n\nReturns:\n    16-character hex string from SHA-256 hash.",
    .body = compute_simulation_id_body,
};

}  // namespace lumora
