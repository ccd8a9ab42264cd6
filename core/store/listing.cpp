// Listing stored results with filters, newest first.
#include "../binding/function.hpp"
#include "common.hpp"

namespace lumora {

namespace {

// The lines of _matches_filters's statements.
enum class MatchesLine : int {
    def = 266,
    component_name = 274,  // if component_name is not None and result.component_name != component_name:
    factory_name = 276,
    pdk_name = 278,
    status = 280,
};

// The lines of list_simulation_results's statements.
enum class ListLine : int {
    def = 283,
    simulations_dir = 305,  // simulations_dir = get_simulations_dir()
    exists = 306,           // if not simulations_dir.exists():
    results = 309,          // results = []
    named_type_dir = 313,   // type_dirs = [simulations_dir / simulation_type]
    type_dirs = 315,        // type_dirs = [d for d in simulations_dir.iterdir() if d.is_dir()]
    type_dir_exists = 318,  // if not type_dir.exists():
    files = 320,            // for file_path in type_dir.glob("*.json"):
    data = 322,             // data = orjson.loads(file_path.read_bytes())
    result = 323,           // result = StoredSimulationResult.model_validate(data)
    matches = 325,          // if _matches_filters(result, ...):
    append = 328,           // results.append(result)
    unreadable = 330,       // log().warning(f"Failed to parse simulation file: {file_path}")
    sort = 334,             // results.sort(key=lambda r: r.simulation_date, reverse=True)
};

// The lines of the sort key's one statement.
enum class SortKeyLine : int {
    def = 334,
    date = 334,  // lambda r: r.simulation_date
};

struct MatchArg {
    enum : int { result, component_name, factory_name, pdk_name, status, count };
};

struct SortKeyArg {
    enum : int { r, count };
};

struct ListArg : FilterArg {
    enum : int { status = FilterArg::count, count };
};

PyObject* matches_filters_body(const FuncDesc& f, const Bound& a)
{
    // Each filter compares the result's attribute of the filter's own name.
    struct Filter {
        int arg;
        MatchesLine line;
    };
    static constexpr Filter kFilters[] = {
        {MatchArg::component_name, MatchesLine::component_name},
        {MatchArg::factory_name, MatchesLine::factory_name},
        {MatchArg::pdk_name, MatchesLine::pdk_name},
        {MatchArg::status, MatchesLine::status},
    };
    for (const Filter& filter : kFilters) {
        PyObject* wanted = a.v[filter.arg];
        if (wanted == Py_None) continue;
        Ref value = getattr(a.v[MatchArg::result], f.pnames[filter.arg]);
        if (!value) return body_error(f, filter.line);
        // value != wanted, where wanted is exactly str. Identity and exact str
        // are settled here; anything else gets the full rich comparison,
        // reflected operation included.
        PyObject* v = value.get();
        int differ;
        if (v == wanted) {
            differ = 0;
        } else if (PyUnicode_CheckExact(v)) {
            differ = !same_text(v, wanted);
        } else if (v == Py_None) {
            differ = 1;
        } else {
            differ = PyObject_RichCompareBool(v, wanted, Py_NE);
            if (differ < 0) return body_error(f, filter.line);
        }
        if (differ) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

// [item], taking over the reference to item.
Ref one_item_list(Ref item)
{
    if (!item) return item;
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, item.release());
    return list;
}

// Every directory directly below the root.
Ref child_dirs(PyObject* simulations_dir)
{
    Ref dirs = Ref::steal(PyList_New(0));
    if (!dirs) return dirs;
    Ref entries = call_method(simulations_dir, process.str.iterdir);
    if (!entries) return entries;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return it;
    while (Ref d = Ref::steal(PyIter_Next(it.get()))) {
        int is_dir = truth(call_method(d.get(), process.str.is_dir));
        if (is_dir < 0) return Ref();
        if (is_dir && PyList_Append(dirs.get(), d.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return dirs;
}

// Reads, rebuilds and filters one file, appending a kept record to results.
// -1 on failure, with the entry of the failing statement added.
int read_one(const FuncDesc& f, const Bound& a, PyObject* file_path, PyObject* results)
{
    Ref loads = global_attr(process.str.orjson, process.str.loads);
    if (!loads) return body_error(f, ListLine::data);
    Ref raw = call_method(file_path, process.str.read_bytes);
    if (!raw) return body_error(f, ListLine::data);
    Ref data = call(loads.get(), {raw.get()});
    if (!data) return body_error(f, ListLine::data);
    raw.reset();
    loads.reset();

    Ref result = call_global_method(process.str.StoredSimulationResult, process.str.model_validate, {data.get()});
    if (!result) return body_error(f, ListLine::result);
    data.reset();

    int keep = truth(call_global(process.str._matches_filters,
                                 {result.get(), a.v[ListArg::component_name], a.v[ListArg::factory_name],
                                  a.v[ListArg::pdk_name], a.v[ListArg::status]}));
    if (keep < 0) return body_error(f, ListLine::matches);
    if (keep && PyList_Append(results, result.get()) < 0) return body_error(f, ListLine::append);
    return 0;
}

// Reads every result file of one type directory into results; a file that
// cannot be read, parsed or filtered is reported and skipped. -1 on failure.
int read_type_dir(const FuncDesc& f, const Bound& a, PyObject* type_dir, PyObject* results)
{
    int present = truth(call_method(type_dir, process.str.exists));
    if (present < 0) return body_error(f, ListLine::type_dir_exists);
    if (!present) return 0;

    Ref files = call_method(type_dir, process.str.glob, {process.str.json_glob});
    if (!files) return body_error(f, ListLine::files);
    Ref it = Ref::steal(PyObject_GetIter(files.get()));
    if (!it) return body_error(f, ListLine::files);
    files.reset();
    while (Ref file_path = Ref::steal(PyIter_Next(it.get()))) {
        // read_one adds its entry before the exception is matched, as the
        // interpreter does for a frame: a caught exception carries it too.
        if (read_one(f, a, file_path.get(), results) == 0) continue;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        Ref caught = Ref::steal(PyErr_GetRaisedException());
        HandledScope handling(caught.get());
        if (log_message(process.str.warning, [&] { return join_text(process.str.msg_parse_failed, file_path.get()); }) <
            0)
            return body_error(f, ListLine::unreadable);
    }
    if (PyErr_Occurred()) return body_error(f, ListLine::files);
    return 0;
}

PyObject* list_simulation_results_body(const FuncDesc& f, const Bound& a)
{
    Ref simulations_dir = call_global(process.str.get_simulations_dir);
    if (!simulations_dir) return body_error(f, ListLine::simulations_dir);
    int present = truth(call_method(simulations_dir.get(), process.str.exists));
    if (present < 0) return body_error(f, ListLine::exists);
    if (!present) return PyList_New(0);

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return body_error(f, ListLine::results);
    CollectorPause pause;

    // The type directories to scan: the one named by the filter, or all.
    PyObject* simulation_type = a.v[ListArg::simulation_type];
    Ref type_dirs;
    if (simulation_type != Py_None) {
        type_dirs = one_item_list(Ref::steal(PyNumber_TrueDivide(simulations_dir.get(), simulation_type)));
        if (!type_dirs) return body_error(f, ListLine::named_type_dir);
    } else {
        type_dirs = child_dirs(simulations_dir.get());
        if (!type_dirs) return body_error(f, ListLine::type_dirs);
    }

    // type_dirs is a list of our own that nothing else can reach: plain indexing.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); ++i) {
        if (read_type_dir(f, a, PyList_GET_ITEM(type_dirs.get(), i), results.get()) < 0) return nullptr;
    }
    type_dirs.reset();

    Ref key = make_function(sort_key_desc);
    if (!key) return body_error(f, ListLine::sort);
    if (!call_method(results.get(), process.str.sort, {key.get(), Py_True}, process.kw.kw_sort))
        return body_error(f, ListLine::sort);
    return results.release();
}

// The sort key that each listing creates: lambda r: r.simulation_date.
PyObject* sort_key_body(const FuncDesc& f, const Bound& a)
{
    PyObject* date = PyObject_GetAttr(a.v[SortKeyArg::r], process.str.simulation_date);
    return date ? date : body_error(f, SortKeyLine::date);
}

}  // namespace

constexpr Params kMatchesParams = params({
    {"result", Check::Any, Default::Required, "StoredSimulationResult"},
    filter_param("component_name", nullptr, Default::Required),
    filter_param("factory_name", nullptr, Default::Required),
    filter_param("pdk_name", nullptr, Default::Required),
    filter_param("status", nullptr, Default::Required),
});
static_assert(kMatchesParams.count == MatchArg::count);

constexpr Params kListParams = params(kFilterParams, {filter_param("status", "Filter by status.")});
static_assert(kListParams.count == ListArg::count);

FuncDesc matches_filters_desc = {
    .name = "_matches_filters",
    .line = line_of(MatchesLine::def),
    .params = kMatchesParams,
    .return_annotation = "bool",
    .doc = "Check if a result matches the given filters.",
    .body = matches_filters_body,
};

FuncDesc list_simulation_results_desc = {
    .name = "list_simulation_results",
    .line = line_of(ListLine::def),
    .kwonly = true,
    .params = kListParams,
    .locals = {"simulations_dir", "results", "type_dirs", "type_dir", "file_path", "data", "result", "d"},
    .return_annotation = "list[StoredSimulationResult]",
    .doc = "List simulation results with optional filters.\n"
           "\n"
           "Scans the filesystem for simulation result files and filters them.",
    .returns = "List of matching StoredSimulationResult objects.",
    .body = list_simulation_results_body,
};

FuncDesc sort_key_desc = {
    .name = "lambda",
    .line = line_of(SortKeyLine::def),
    .params = params({
        {"r", Check::Any, Default::Required, nullptr},
    }),
    .body = sort_key_body,
    .qualname = "list_simulation_results.<locals>.<lambda>",
    .code_name = "<lambda>",
    .tb_name = "list_simulation_results.lambda",
};

}  // namespace lumora
