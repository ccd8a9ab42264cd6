// Deleting one result and clearing many.
#include "common.hpp"

namespace lumora {

namespace {

PyObject* delete_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    Ref file_path;
    {
        Ref find = lookup_global(process.str._find_simulation_file);
        if (!find) return failed_at(f, 347);
        file_path = call(find.get(), {a.v[0]});
        if (!file_path) return failed_at(f, 347);
    }
    if (file_path.get() == Py_None) Py_RETURN_FALSE;

    int present = truth(call_method(file_path.get(), process.str.exists));
    if (present < 0) return failed_at(f, 351);
    if (!present) Py_RETURN_FALSE;

    if (!call_method(file_path.get(), process.str.unlink)) {
        // Removed by someone else since the test: nothing left for us to delete.
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return failed_at(f, 352);
        PyErr_Clear();
        Py_RETURN_FALSE;
    }

    if (log_message(process.str.debug, [&] { return join_text(process.str.msg_deleted, file_path.get()); }) < 0)
        return failed_at(f, 353);
    Py_RETURN_TRUE;
}

// Deletes one listed record through the module's delete function: 1 when a
// file was removed, 0 when not, -1 on error.
int delete_listed(PyObject* record)
{
    Ref remove = lookup_global(process.str.delete_simulation_result);
    if (!remove) return -1;
    Ref simulation_id = getattr(record, process.str.simulation_id);
    if (!simulation_id) return -1;
    return truth(call(remove.get(), {simulation_id.get()}));
}

PyObject* clear_simulation_results_body(const FuncDesc& f, const Bound& a)
{
    Ref results;
    {
        Ref list = lookup_global(process.str.list_simulation_results);
        if (!list) return failed_at(f, 378);
        results = call(list.get(), {a.v[0], a.v[1], a.v[2], a.v[3]}, process.kw.kw_list_filters);
        if (!results) return failed_at(f, 378);
    }
    int any = PyObject_IsTrue(results.get());
    if (any < 0) return failed_at(f, 385);
    if (!any) return Py_NewRef(process.int0);

    Py_ssize_t deleted_count = 0;
    PyObject* seq = results.get();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // By index, with the size read afresh: a list may change while we go.
        const bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
            Ref record = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            int removed = delete_listed(record.get());
            if (removed < 0) return failed_at(f, 390);
            deleted_count += removed;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(seq));
        if (!it) return failed_at(f, 389);
        while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
            int removed = delete_listed(record.get());
            if (removed < 0) return failed_at(f, 390);
            deleted_count += removed;
        }
        if (PyErr_Occurred()) return failed_at(f, 389);
    }

    Ref count = Ref::steal(PyLong_FromSsize_t(deleted_count));
    if (!count) return failed_at(f, 393);
    if (log_message(process.str.debug, [&] {
            Ref digits = Ref::steal(PyObject_Str(count.get()));
            return digits ? concat({process.str.msg_cleared_prefix, digits.get(), process.str.msg_cleared_suffix}) : Ref();
        }) < 0)
        return failed_at(f, 393);
    return count.release();
}

}  // namespace

FuncDesc delete_simulation_result_desc = {
    .name = "delete_simulation_result",
    .line = 338,
    .params = params({
        {"simulation_id", Check::Str, Default::Required, "str"},
    }),
    .locals = {"file_path"},
    .return_annotation = "bool",
    .doc = "Delete a simulation result by its ID.\n"
           "\n"
           "Args:\n"
           "    simulation_id: The unique simulation ID.\n"
           "\n"
           "Returns:\n"
           "    True if the result was deleted, False otherwise.",
    .body = delete_simulation_result_body,
};

FuncDesc clear_simulation_results_desc = {
    .name = "clear_simulation_results",
    .line = 359,
    .kwonly = true,
    .params = params({
        {"component_name", Check::StrOrNone, Default::None, "str | None"},
        {"factory_name", Check::StrOrNone, Default::None, "str | None"},
        {"simulation_type", Check::StrOrNone, Default::None, "str | None"},
        {"pdk_name", Check::StrOrNone, Default::None, "str | None"},
    }),
    .locals = {"results", "deleted_count", "result"},
    .return_annotation = "int",
    .doc = "Clear simulation results with optional filters.\n"
           "\n"
           "Args:\n"
           "    component_name: Filter by component name.\n"
           "    factory_name: Filter by factory name.\n"
           "    simulation_type: Filter by simulation type.\n"
           "    pdk_name: Filter by PDK name.\n"
           "\n"
           "Returns:\n"
           "    Number of results deleted.",
    .body = clear_simulation_results_body,
};

}  // namespace lumora
