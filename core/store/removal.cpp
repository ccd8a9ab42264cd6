// Deleting one result and clearing many.
#include "common.hpp"

namespace lumora {

namespace {

// A failure exit of a step that reports -1: adds f's entry at the line.
int failed_at(const FuncDesc& f, int line)
{
    body_error(f, line);
    return -1;
}

// The traceback lines of the steps of removing one found file.
struct RemovalLines {
    int exists, unlink, log;
};

// Removes a found result file unless it has gone, and logs the removal:
// 1 when removed, 0 when it was no longer there, -1 with f's entry added.
int remove_found(const FuncDesc& f, PyObject* file_path, RemovalLines lines)
{
    int present = truth(call_method(file_path, g.str.exists));
    if (present < 0) return failed_at(f, lines.exists);
    if (!present) return 0;

    if (!call_method(file_path, g.str.unlink)) {
        // Removed by someone else since the test: nothing left for us to delete.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return failed_at(f, lines.unlink);
        PyErr_Clear();
        return 0;
    }

    if (!log_message(g.str.debug, [&] { return join_text(g.str.msg_deleted, file_path); }))
        return failed_at(f, lines.log);
    return 1;
}

PyObject* delete_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref file_path;
    {
        Ref find = lookup_global(g.str._find_simulation_file);
        if (!find) return body_error(f, 347);
        file_path = call(find.get(), {a.v[0]});
        if (!file_path) return body_error(f, 347);
    }
    if (file_path.get() == Py_None) Py_RETURN_FALSE;

    int removed = remove_found(f, file_path.get(), {351, 352, 353});
    if (removed < 0) return nullptr;
    return Py_NewRef(removed ? Py_True : Py_False);
}

// Deletes one listed record through the module's delete function: 1 when a
// file was removed, 0 when not, -1 on error.
int delete_listed(PyObject* record)
{
    Ref remove = lookup_global(g.str.delete_simulation_result);
    if (!remove) return -1;
    Ref simulation_id = getattr(record, g.str.simulation_id);
    if (!simulation_id) return -1;
    return truth(call(remove.get(), {simulation_id.get()}));
}

// The directory that a clear of one simulation type removes files from;
// ValueError when the name cannot be a type directory of the store.
Ref cleared_type_dir(const FuncDesc& f, PyObject* simulation_type)
{
    Ref type_dir;
    if (is_plain_name(simulation_type)) {
        Ref get_dir = lookup_global(g.str.get_simulations_dir);
        Ref simulations_dir = get_dir ? Ref::steal(PyObject_CallNoArgs(get_dir.get())) : Ref();
        if (simulations_dir) type_dir = child_path(simulations_dir.get(), simulation_type);
    }
    if (!type_dir) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "simulation_type must be a single directory name, got %R", simulation_type);
        body_error(f, 377);
    }
    return type_dir;
}

// Removes the file of one listed record from type_dir, and from nowhere
// else: the same ID may be stored under other types (a copy of a type
// directory, say), which a look-up by ID alone could meet first.
// 1 when a file was removed, 0 when not, -1 with f's entry added.
int remove_listed_in(const FuncDesc& f, PyObject* type_dir, PyObject* record)
{
    Ref simulation_id = getattr(record, g.str.simulation_id);
    if (!simulation_id) return failed_at(f, 390);
    if (!PyUnicode_CheckExact(simulation_id.get())) {
        PyErr_Format(PyExc_TypeError, "Argument 'simulation_id' has incorrect type (expected str, got %.200s)",
                     Py_TYPE(simulation_id.get())->tp_name);
        return failed_at(f, 390);
    }
    // No stored file name holds a separator or NUL.
    if (has_separator(simulation_id.get())) return 0;
    Ref pattern = id_pattern(simulation_id.get());
    if (!pattern) return failed_at(f, 390);
    Ref file_path = first_match(type_dir, pattern.get());
    if (!file_path) return failed_at(f, 390);
    if (file_path.get() == Py_None) return 0;
    return remove_found(f, file_path.get(), {390, 390, 390});
}

PyObject* clear_simulation_results_body(const FuncDesc& f, const Bound& a)
{
    // A clear of one type removes files from that type's directory only.
    Ref type_dir;
    if (a.v[2] != Py_None) {
        type_dir = cleared_type_dir(f, a.v[2]);
        if (!type_dir) return nullptr;
    }

    Ref results;
    {
        Ref list = lookup_global(g.str.list_simulation_results);
        if (!list) return body_error(f, 378);
        results = call(list.get(), {a.v[0], a.v[1], a.v[2], a.v[3]}, g.kw.kw_list_filters);
        if (!results) return body_error(f, 378);
    }
    int any = PyObject_IsTrue(results.get());
    if (any < 0) return body_error(f, 385);
    if (!any) return Py_NewRef(g.int0);

    // 1 when the record's file was removed, 0 when not, -1 with f's entry added.
    auto remove = [&](PyObject* record) {
        if (type_dir) return remove_listed_in(f, type_dir.get(), record);
        int removed = delete_listed(record);
        if (removed < 0) body_error(f, 390);
        return removed;
    };
    Py_ssize_t deleted_count = 0;
    PyObject* seq = results.get();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // By index, with the size read afresh: a list may change while we go.
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
            Ref record = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            int removed = remove(record.get());
            if (removed < 0) return nullptr;
            deleted_count += removed;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(seq));
        if (!it) return body_error(f, 389);
        while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
            int removed = remove(record.get());
            if (removed < 0) return nullptr;
            deleted_count += removed;
        }
        if (PyErr_Occurred()) return body_error(f, 389);
    }

    Ref count = Ref::steal(PyLong_FromSsize_t(deleted_count));
    if (!count) return body_error(f, 393);
    if (!log_message(g.str.debug, [&] {
            Ref digits = Ref::steal(PyObject_Str(count.get()));
            return digits ? concat({g.str.msg_cleared_prefix, digits.get(), g.str.msg_cleared_suffix}) : Ref();
        }))
        return body_error(f, 393);
    return count.release();
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
