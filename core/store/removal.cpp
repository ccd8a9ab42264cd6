// Deleting one result and clearing many.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* delete_simulation_result_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

PyObject* clear_simulation_results_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

}  // namespace

FuncDesc delete_simulation_result_desc = {
    .name = "delete_simulation_result",
    .qualname = "delete_simulation_result",
    .code_name = "delete_simulation_result",
    .tb_name = "lumora.core.simulation_storage.delete_simulation_result",
    .line = 338,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 1,
    .params = {
        {"simulation_id", Check::Str, Default::Required, "str"},
    },
    .locals = {"file_path"},
    .return_annotation = "bool",
    .doc = "delete_simulation_result(str simulation_id: str) -> bool\n\nDelete a simulation result by its ID.\n\nArgs:\n    simulation_id: The unique simulation ID.\n\nReturns:\n    True if the result was deleted, False otherwise.",
    .body = delete_simulation_result_body,
};

FuncDesc clear_simulation_results_desc = {
    .name = "clear_simulation_results",
    .qualname = "clear_simulation_results",
    .code_name = "clear_simulation_results",
    .tb_name = "lumora.core.simulation_storage.clear_simulation_results",
    .line = 359,
    .conv_line = 0,
    .kwonly = true,
    .nparams = 4,
    .params = {
        {"component_name", Check::StrOrNone, Default::None, "str | None"},
        {"factory_name", Check::StrOrNone, Default::None, "str | None"},
        {"simulation_type", Check::StrOrNone, Default::None, "str | None"},
        {"pdk_name", Check::StrOrNone, Default::None, "str | None"},
    },
    .locals = {"results", "deleted_count", "result"},
    .return_annotation = "int",
    .doc = "clear_simulation_results(*, str component_name: str | None = None, str factory_name: str | None = None, str simulation_type: str | None = None, str pdk_name: str | None = None) -> int\n\nClear simulation results with optional filters.\n\nArgs:\n    component_name: Filter by component name.\n    factory_name: Filter by factory name.\n    simulation_type: Filter by simulation type.\n    pdk_name: Filter by PDK name.\n\nReturns:\n    Number of results deleted.",
    .body = clear_simulation_results_body,
};

}  // namespace lumora
