// Loading a result by ID and the cache look-up by identity fields.
#include "common.hpp"

namespace lumora {

namespace {

// The lines of load_simulation_result's statements.
enum class LoadLine : int {
    def = 208,
    file_path = 217,  // file_path = _find_simulation_file(simulation_id)
    exists = 221,     // if not file_path.exists():
    missing = 222,    // log().warning(f"Simulation file not found: {file_path}")
    data = 226,       // data = orjson.loads(file_path.read_bytes())
    record = 227,     // return StoredSimulationResult.model_validate(data)
};

// The lines of find_simulation_result's statements.
enum class FindLine : int {
    def = 230,
    simulation_id = 255,  // simulation_id = _compute_simulation_id(...)
    record = 263,         // return load_simulation_result(simulation_id)
};

// The warning for a file that the scan found but that is gone by now.
PyObject* report_missing(const FuncDesc& f, PyObject* file_path)
{
    if (log_message(process.str.warning, [&] { return join_text(process.str.msg_not_found, file_path); }) < 0)
        return body_error(f, LoadLine::missing);
    Py_RETURN_NONE;
}

PyObject* load_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref file_path = call_global(process.str._find_simulation_file, {a.v[SimulationIdArg::simulation_id]});
    if (!file_path) return body_error(f, LoadLine::file_path);
    if (file_path.get() == Py_None) return file_path.release();

    int present = truth(call_method(file_path.get(), process.str.exists));
    if (present < 0) return body_error(f, LoadLine::exists);
    if (!present) return report_missing(f, file_path.get());

    Ref loads = global_attr(process.str.orjson, process.str.loads);
    if (!loads) return body_error(f, LoadLine::data);
    Ref raw = call_method(file_path.get(), process.str.read_bytes);
    if (!raw) {
        // Removed since the exists() test: the same outcome as before it.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return body_error(f, LoadLine::data);
        Ref gone = Ref::steal(PyErr_GetRaisedException());
        HandledScope handling(gone.get());
        return report_missing(f, file_path.get());
    }
    Ref data = call(loads.get(), {raw.get()});
    if (!data) return body_error(f, LoadLine::data);
    raw.reset();
    loads.reset();

    PyObject* record =
        call_global_method(process.str.StoredSimulationResult, process.str.model_validate, {data.get()}).release();
    return record ? record : body_error(f, LoadLine::record);
}

PyObject* find_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref simulation_id =
        call_global(process.str._compute_simulation_id, a.first(IdentityArg::count), process.kw.kw_identity);
    if (!simulation_id) return body_error(f, FindLine::simulation_id);
    PyObject* record = call_global(process.str.load_simulation_result, {simulation_id.get()}).release();
    return record ? record : body_error(f, FindLine::record);
}

}  // namespace

constexpr Params kFindParams = params(kIdentityParams, kSimulationTypeParam);
static_assert(kFindParams.count == IdentityArg::count);

FuncDesc load_simulation_result_desc = {
    .name = "load_simulation_result",
    .line = line_of(LoadLine::def),
    .params = params(kSimulationIdParam),
    .locals = {"file_path", "data"},
    .return_annotation = "StoredSimulationResult | None",
    .doc = "Load a simulation result by its ID.",
    .returns = "StoredSimulationResult if found, None otherwise.",
    .body = load_simulation_result_body,
};

FuncDesc find_simulation_result_desc = {
    .name = "find_simulation_result",
    .line = line_of(FindLine::def),
    .kwonly = true,
    .params = kFindParams,
    .locals = {"simulation_id"},
    .return_annotation = "StoredSimulationResult | None",
    .doc = "Find a cached simulation result by its identity fields.\n"
           "\n"
           "This computes the deterministic ID from the inputs and looks up\n"
           "the corresponding result.",
    .returns = "StoredSimulationResult if found, None otherwise.",
    .body = find_simulation_result_body,
};

}  // namespace lumora
