// Listing stored results with filters, newest first.
#include "../binding/function.hpp"
#include "common.hpp"

namespace lumora {

namespace {

// Keeps the cyclic collector off while listings run. A listing keeps every
// record it parses, a few hundred lists each, and with the collector on every
// generation-two pass walks all of them again: listing grew faster than the
// store (5,000 results cost 9x what 1,000 did). Parsed records are acyclic,
// so pausing the collector loses nothing it could have freed; garbage cycles
// that filters, models or log handlers make meanwhile are collected at the
// next collection after the listing, as after any gc.disable() span.
//
// Only the outermost listing acts: listings in other threads or nested in a
// filter share the pause, and the last one out puts back exactly the state
// the first one found, whatever ran in between, so a caller sees the
// collector as it left it on every exit path. The counters are touched only
// with the GIL held, as every entry and exit here is. A gc.enable() or
// gc.disable() that another thread makes while listings run is thus
// overridden when the last of them ends: the price of not tracking who
// changed what.
class CollectorPause {
public:
    CollectorPause()
    {
        if (depth_++ == 0) was_enabled_ = PyGC_Disable();
    }
    ~CollectorPause()
    {
        if (--depth_ != 0) return;
        if (was_enabled_) PyGC_Enable();
        else PyGC_Disable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    static inline Py_ssize_t depth_ = 0;
    static inline int was_enabled_ = 0;
};

PyObject* matches_filters_body(const FuncDesc& f, const Bound& a)
{
    struct Filter {
        PyObject* attribute;
        int line;
    };
    const Filter filters[] = {
        {g.str.component_name, 274},
        {g.str.factory_name, 276},
        {g.str.pdk_name, 278},
        {g.str.status, 280},
    };
    for (int i = 0; i < 4; ++i) {
        PyObject* wanted = a.v[i + 1];
        if (wanted == Py_None) continue;
        Ref value = getattr(a.v[0], filters[i].attribute);
        if (!value) return body_error(f, filters[i].line);
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
            if (differ < 0) return body_error(f, filters[i].line);
        }
        if (differ) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

// The type directories to scan: the one named by the filter, or every
// directory directly below the root. Null with *line set on failure.
Ref choose_type_dirs(PyObject* simulations_dir, PyObject* simulation_type, int* line)
{
    if (simulation_type != Py_None) {
        *line = 313;
        Ref type_dir = Ref::steal(PyNumber_TrueDivide(simulations_dir, simulation_type));
        if (!type_dir) return type_dir;
        Ref one = Ref::steal(PyList_New(1));
        if (one) PyList_SET_ITEM(one.get(), 0, type_dir.release());
        return one;
    }
    *line = 315;
    Ref dirs = Ref::steal(PyList_New(0));
    if (!dirs) return dirs;
    Ref entries = call_method(simulations_dir, g.str.iterdir);
    if (!entries) return entries;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return it;
    while (Ref d = Ref::steal(PyIter_Next(it.get()))) {
        int is_dir = truth(call_method(d.get(), g.str.is_dir));
        if (is_dir < 0) return Ref();
        if (is_dir && PyList_Append(dirs.get(), d.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return dirs;
}

// Reads, rebuilds and filters one file, appending a kept record to results.
// 0 on success; -1 on failure with *line set to the failing step's line.
int read_one(PyObject* file_path, const Bound& a, PyObject* results, int* line)
{
    *line = 322;
    Ref data;
    {
        Ref orjson = lookup_global(g.str.orjson);
        if (!orjson) return -1;
        Ref loads = getattr(orjson.get(), g.str.loads);
        if (!loads) return -1;
        Ref raw = call_method(file_path, g.str.read_bytes);
        if (!raw) return -1;
        data = call(loads.get(), {raw.get()});
        if (!data) return -1;
    }

    *line = 323;
    Ref result;
    {
        Ref model = lookup_global(g.str.StoredSimulationResult);
        if (!model) return -1;
        result = call_method(model.get(), g.str.model_validate, {data.get()});
        if (!result) return -1;
    }
    data.reset();

    *line = 325;
    int keep;
    {
        Ref matches = lookup_global(g.str._matches_filters);
        if (!matches) return -1;
        keep = truth(call(matches.get(), {result.get(), a.v[0], a.v[1], a.v[3], a.v[4]}));
        if (keep < 0) return -1;
    }

    *line = 328;
    return keep ? PyList_Append(results, result.get()) : 0;
}

PyObject* list_simulation_results_body(const FuncDesc& f, const Bound& a)
{
    Ref simulations_dir;
    {
        Ref get_dir = lookup_global(g.str.get_simulations_dir);
        if (!get_dir) return body_error(f, 305);
        simulations_dir = Ref::steal(PyObject_CallNoArgs(get_dir.get()));
        if (!simulations_dir) return body_error(f, 305);
    }
    int present = truth(call_method(simulations_dir.get(), g.str.exists));
    if (present < 0) return body_error(f, 306);
    if (!present) return PyList_New(0);

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return body_error(f, 309);
    CollectorPause pause;

    int line = 0;
    Ref type_dirs = choose_type_dirs(simulations_dir.get(), a.v[2], &line);
    if (!type_dirs) return body_error(f, line);

    // type_dirs is a list of our own that nothing else can reach: plain indexing.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); ++i) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        int present_dir = truth(call_method(type_dir, g.str.exists));
        if (present_dir < 0) return body_error(f, 318);
        if (!present_dir) continue;

        Ref files = call_method(type_dir, g.str.glob, {g.str.json_glob});
        if (!files) return body_error(f, 320);
        Ref it = Ref::steal(PyObject_GetIter(files.get()));
        if (!it) return body_error(f, 320);
        files.reset();
        while (Ref file_path = Ref::steal(PyIter_Next(it.get()))) {
            if (read_one(file_path.get(), a, results.get(), &line) == 0) continue;

            // The entry is added before matching, as the interpreter does for
            // a frame: a caught exception carries it too.
            add_traceback_entry(f.tb_name, line, kFileName);
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            Ref caught = Ref::steal(PyErr_GetRaisedException());
            HandledScope handling(caught.get());
            if (!log_message(g.str.warning,
                             [&] { return join_text(g.str.msg_parse_failed, file_path.get()); }))
                return body_error(f, 330);
        }
        if (PyErr_Occurred()) return body_error(f, 320);
    }
    type_dirs.reset();

    Ref key = make_function(sort_key_desc);
    if (!key) return body_error(f, 334);
    if (!call_method(results.get(), g.str.sort, {key.get(), Py_True}, g.kw.kw_sort)) return body_error(f, 334);
    return results.release();
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
