// Listing stored results with filters, newest first.
#include "store.hpp"

namespace lumora {

namespace {

PyObject* matches_filters_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

PyObject* list_simulation_results_body(const FuncDesc&, const Bound&)
{
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

// The sort key that each listing creates: lambda r: r.simulation_date.
PyObject* sort_key_body(const FuncDesc& f, const Bound& a)
{
    PyObject* date = PyObject_GetAttr(a.v[0], g.str.simulation_date);
    return date ? date : body_error(f, 334);
}

}  // namespace

FuncDesc matches_filters_desc = {
    .name = "_matches_filters",
    .qualname = "_matches_filters",
    .code_name = "_matches_filters",
    .tb_name = "lumora.core.simulation_storage._matches_filters",
    .line = 266,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 5,
    .params = {
        {"result", Check::Any, Default::Required, "StoredSimulationResult"},
        {"component_name", Check::StrOrNone, Default::Required, "str | None"},
        {"factory_name", Check::StrOrNone, Default::Required, "str | None"},
        {"pdk_name", Check::StrOrNone, Default::Required, "str | None"},
        {"status", Check::StrOrNone, Default::Required, "str | None"},
    },
    .locals = {},
    .return_annotation = "bool",
    .doc = "_matches_filters(result: StoredSimulationResult, str component_name: str | None, str factory_name: str | None, str pdk_name: str | None, str status: str | None) -> bool\n\nCheck if a result matches the given filters.",
    .body = matches_filters_body,
};

FuncDesc list_simulation_results_desc = {
    .name = "list_simulation_results",
    .qualname = "list_simulation_results",
    .code_name = "list_simulation_results",
    .tb_name = "lumora.core.simulation_storage.list_simulation_results",
    .line = 283,
    .conv_line = 0,
    .kwonly = true,
    .nparams = 5,
    .params = {
        {"component_name", Check::StrOrNone, Default::None, "str | None"},
        {"factory_name", Check::StrOrNone, Default::None, "str | None"},
        {"simulation_type", Check::StrOrNone, Default::None, "str | None"},
        {"pdk_name", Check::StrOrNone, Default::None, "str | None"},
        {"status", Check::StrOrNone, Default::None, "str | None"},
    },
    .locals = {"simulations_dir", "results", "type_dirs", "type_dir", "file_path", "data", "result", "d"},
    .return_annotation = "list[StoredSimulationResult]",
    .doc = "list_simulation_results(*, str component_name: str | None = None, str factory_name: str | None = None, str simulation_type: str | None = None, str pdk_name: str | None = None, str status: str | None = None) -> list[StoredSimulationResult]\n\nList simulation results with optional filters.\n\nScans the filesystem for simulation result files and filters them.\n\nArgs:\n    component_name: Filter by component name.\n    factory_name: Filter by factory name.\n    simulation_type: Filter by simulation type.\n    pdk_name: Filter by PDK name.\n    status: Filter by status.\n\nReturns:\n    List of matching StoredSimulationResult objects.",
    .body = list_simulation_results_body,
};

FuncDesc sort_key_desc = {
    .name = "lambda",
    .qualname = "list_simulation_results.<locals>.<lambda>",
    .code_name = "<lambda>",
    .tb_name = "lumora.core.simulation_storage.list_simulation_results.lambda",
    .line = 334,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 1,
    .params = {
        {"r", Check::Any, Default::Required, nullptr},
    },
    .locals = {},
    .return_annotation = nullptr,
    .doc = nullptr,
    .body = sort_key_body,
};

}  // namespace lumora
