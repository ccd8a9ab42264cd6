// Storage layout: where a result file lives, and finding one by its ID.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* get_simulation_file_path_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

PyObject* find_simulation_file_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
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
