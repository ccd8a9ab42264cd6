// Deleting one result and clearing many.
#include "common.hpp"

namespace lumora {

namespace {

// The lines of delete_simulation_result's statements.
enum class DeleteLine : int {
    def = 338,
    file_path = 347,  // file_path = _find_simulation_file(simulation_id)
    exists = 351,     // if file_path is None or not file_path.exists():
    unlink = 352,     // file_path.unlink()
    deleted = 353,    // log().debug(f"Deleted simulation file: {file_path}")
};

// The lines of clear_simulation_results's statements.
enum class ClearLine : int {
    def = 359,
    type_dir = 377,  // the directory that a clear of one type is confined to
    results = 378,   // results = list_simulation_results(...)
    any = 385,       // if not results:
    each = 389,      // for result in results:
    remove = 390,    // if delete_simulation_result(result.simulation_id):
    cleared = 393,   // log().debug(f"Cleared {deleted_count} simulation result(s)")
};

// The lines of the steps of removing one found file.
struct RemovalLines {
    int exists, unlink, log;
};

// Removes a found result file unless it has gone, and logs the removal:
// 1 when removed, 0 when it was no longer there, -1 with f's entry added.
int remove_found(const FuncDesc& f, PyObject* file_path, RemovalLines lines)
{
    int present = truth(call_method(file_path, process.str.exists));
    if (present < 0) return failed_at(f, lines.exists);
    if (!present) return 0;

    if (!call_method(file_path, process.str.unlink)) {
        // Removed by someone else since the test: nothing left for us to delete.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return failed_at(f, lines.unlink);
        PyErr_Clear();
        return 0;
    }

    if (log_message(process.str.debug, [&] { return join_text(process.str.msg_deleted, file_path); }) < 0)
        return failed_at(f, lines.log);
    return 1;
}

PyObject* delete_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref file_path = call_global(process.str._find_simulation_file, {a.v[SimulationIdArg::simulation_id]});
    if (!file_path) return body_error(f, DeleteLine::file_path);
    if (file_path.get() == Py_None) Py_RETURN_FALSE;

    const RemovalLines lines{line_of(DeleteLine::exists), line_of(DeleteLine::unlink), line_of(DeleteLine::deleted)};
    int removed = remove_found(f, file_path.get(), lines);
    if (removed < 0) return nullptr;
    return Py_NewRef(removed ? Py_True : Py_False);
}

// The directory that a clear of one simulation type removes files from;
// ValueError when the name cannot be a type directory of the store.
Ref cleared_type_dir(const FuncDesc& f, PyObject* simulation_type)
{
    Ref type_dir;
    if (is_plain_name(simulation_type)) {
        Ref simulations_dir = call_global(process.str.get_simulations_dir);
        if (simulations_dir) child_path(simulations_dir.get(), simulation_type, &type_dir);
    }
    if (!type_dir) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "simulation_type must be a single directory name, got %R", simulation_type);
        return body_error(f, ClearLine::type_dir);
    }
    return type_dir;
}

// Removes the file of one listed record from type_dir, and from nowhere
// else: the same ID may be stored under other types (a copy of a type
// directory, say), which a look-up by ID alone could meet first.
// 1 when a file was removed, 0 when not, -1 with f's entry added.
int remove_listed_in(const FuncDesc& f, PyObject* type_dir, PyObject* record)
{
    Ref simulation_id = getattr(record, process.str.simulation_id);
    if (!simulation_id) return body_error(f, ClearLine::remove);
    if (!PyUnicode_CheckExact(simulation_id.get())) {
        PyErr_Format(PyExc_TypeError, "Argument 'simulation_id' has incorrect type (expected str, got %.200s)",
                     Py_TYPE(simulation_id.get())->tp_name);
        return body_error(f, ClearLine::remove);
    }
    // No stored file name holds a separator or NUL.
    if (has_separator(simulation_id.get())) return 0;
    Ref pattern = id_pattern(simulation_id.get());
    if (!pattern) return body_error(f, ClearLine::remove);
    Ref file_path = first_match(type_dir, pattern.get());
    if (!file_path) return body_error(f, ClearLine::remove);
    if (file_path.get() == Py_None) return 0;
    const int line = line_of(ClearLine::remove);
    return remove_found(f, file_path.get(), {line, line, line});
}

// Removes one listed record's file: from type_dir alone when there is one,
// else through the module's delete function, looked up at the moment of use.
// 1 when a file was removed, 0 when not, -1 with f's entry added.
int remove_listed(const FuncDesc& f, PyObject* type_dir, PyObject* record)
{
    if (type_dir) return remove_listed_in(f, type_dir, record);
    Ref remove = lookup_global(process.str.delete_simulation_result);
    Ref simulation_id = remove ? getattr(record, process.str.simulation_id) : Ref();
    int removed = simulation_id ? truth(call(remove.get(), {simulation_id.get()})) : -1;
    return removed < 0 ? body_error(f, ClearLine::remove) : removed;
}

// Removes the files of every listed record; how many went, or -1 with f's
// entry added.
Py_ssize_t remove_all(const FuncDesc& f, PyObject* results, PyObject* type_dir)
{
    Py_ssize_t deleted_count = 0;
    if (PyList_CheckExact(results) || PyTuple_CheckExact(results)) {
        // By index, with the size read afresh: a list may change while we go.
        const bool is_list = PyList_CheckExact(results);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(results) : PyTuple_GET_SIZE(results)); ++i) {
            Ref record = Ref::borrow(is_list ? PyList_GET_ITEM(results, i) : PyTuple_GET_ITEM(results, i));
            int removed = remove_listed(f, type_dir, record.get());
            if (removed < 0) return -1;
            deleted_count += removed;
        }
        return deleted_count;
    }
    Ref it = Ref::steal(PyObject_GetIter(results));
    if (!it) return body_error(f, ClearLine::each);
    while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
        int removed = remove_listed(f, type_dir, record.get());
        if (removed < 0) return -1;
        deleted_count += removed;
    }
    if (PyErr_Occurred()) return body_error(f, ClearLine::each);
    return deleted_count;
}

PyObject* clear_simulation_results_body(const FuncDesc& f, const Bound& a)
{
    // A clear of one type removes files from that type's directory only.
    PyObject* simulation_type = a.v[FilterArg::simulation_type];
    Ref type_dir;
    if (simulation_type != Py_None && !(type_dir = cleared_type_dir(f, simulation_type))) return nullptr;

    CollectorPause pause;
    Ref results =
        call_global(process.str.list_simulation_results, a.first(FilterArg::count), process.kw.kw_list_filters);
    if (!results) return body_error(f, ClearLine::results);
    int any = PyObject_IsTrue(results.get());
    if (any < 0) return body_error(f, ClearLine::any);
    if (!any) return Py_NewRef(process.int0);

    const Py_ssize_t deleted_count = remove_all(f, results.get(), type_dir.get());
    if (deleted_count < 0) return nullptr;

    Ref count = Ref::steal(PyLong_FromSsize_t(deleted_count));
    if (!count) return body_error(f, ClearLine::cleared);
    if (log_message(process.str.debug, [&] {
            Ref digits = Ref::steal(PyObject_Str(count.get()));
            return digits ? concat({process.str.msg_cleared_prefix, digits.get(), process.str.msg_cleared_suffix})
                          : Ref();
        }) < 0)
        return body_error(f, ClearLine::cleared);
    return count.release();
}

}  // namespace

constexpr Params kClearParams = params(kFilterParams);
static_assert(kClearParams.count == FilterArg::count);

FuncDesc delete_simulation_result_desc = {
    .name = "delete_simulation_result",
    .line = line_of(DeleteLine::def),
    .params = params(kSimulationIdParam),
    .locals = {"file_path"},
    .return_annotation = "bool",
    .doc = "Delete a simulation result by its ID.",
    .returns = "True if the result was deleted, False otherwise.",
    .body = delete_simulation_result_body,
};

FuncDesc clear_simulation_results_desc = {
    .name = "clear_simulation_results",
    .line = line_of(ClearLine::def),
    .kwonly = true,
    .params = kClearParams,
    .locals = {"results", "deleted_count", "result"},
    .return_annotation = "int",
    .doc = "Clear simulation results with optional filters.",
    .returns = "Number of results deleted.",
    .body = clear_simulation_results_body,
};

}  // namespace lumora
