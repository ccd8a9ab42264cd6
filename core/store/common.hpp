// Small helpers shared by the store's function bodies.
#pragma once

#include <initializer_list>
#include <iterator>

#include "store.hpp"

namespace lumora {

// Keeps the cyclic collector off while listings and clearings run. A listing
// keeps every record it parses, a few hundred lists each, and with the
// collector on every generation-two pass walks all of them again: listing
// grew faster than the store (5,000 results cost 9x what 1,000 did). Parsed
// records are acyclic, so pausing the collector loses nothing it could have
// freed; garbage cycles that filters, models or log handlers make meanwhile
// are collected at the next collection after the listing, as after any
// gc.disable() span. A clearing holds its listed records while it removes
// their files: with the collector back on, its first passes would walk them
// all again, at about twice what the removals cost.
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
        if (was_enabled_)
            PyGC_Enable();
        else
            PyGC_Disable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    static inline Py_ssize_t depth_ = 0;
    static inline int was_enabled_ = 0;
};

// The identity fields as parameters, in the order that every function taking
// them declares them; simulation_type follows, exactly str only for
// _compute_simulation_id.
struct IdentityArg {
    enum : int {
        component_name,
        factory_name,
        component_settings,
        model_parameters,
        hyperparameters,
        simulation_type,
        count
    };
};
inline constexpr Param kIdentityParams[] = {
    {"component_name", Check::Str, Default::Required, "str", "Name of the component."},
    {"factory_name", Check::Str, Default::Required, "str", "Name of the factory."},
    {"component_settings", Check::Dict, Default::Required, "dict[str, Any]", "Component settings dictionary."},
    {"model_parameters", Check::Dict, Default::Required, "dict[str, Any]", "Model parameters dictionary."},
    {"hyperparameters", Check::Any, Default::Required, "SimulationHyperparameters", "Simulation hyperparameters."},
};
inline constexpr Param kSimulationTypeParam[] = {
    {"simulation_type", Check::Any, Default::Required, "SimulationType", "Type of simulation."},
};
static_assert(std::size(kIdentityParams) == IdentityArg::simulation_type);

// The one parameter of the functions that take a result by its ID.
struct SimulationIdArg {
    enum : int { simulation_id, count };
};
inline constexpr Param kSimulationIdParam[] = {
    {"simulation_id", Check::Str, Default::Required, "str", "The unique simulation ID."},
};

// A filter of the listing: exactly str or None.
constexpr Param filter_param(const char* name, const char* help, Default def = Default::None)
{
    return {name, Check::StrOrNone, def, "str | None", help};
}

// The filters that listing and clearing share, in their order; listing
// takes status after them.
struct FilterArg {
    enum : int { component_name, factory_name, simulation_type, pdk_name, count };
};
inline constexpr Param kFilterParams[] = {
    filter_param("component_name", "Filter by component name."),
    filter_param("factory_name", "Filter by factory name."),
    filter_param("simulation_type", "Filter by simulation type."),
    filter_param("pdk_name", "Filter by PDK name."),
};
static_assert(std::size(kFilterParams) == FilterArg::count);

// Truth value of a call's result: -1 with the exception kept when the call
// failed or the truth test raised.
inline int truth(const Ref& r) { return r ? PyObject_IsTrue(r.get()) : -1; }

// Joins exact-str pieces in one allocation.
inline Ref concat(std::initializer_list<PyObject*> parts)
{
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n > PY_SSIZE_T_MAX - len) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return Ref();
        }
        len += n;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
        if (m > maxchar) maxchar = m;
    }
    Ref out = Ref::steal(PyUnicode_New(len, maxchar));
    if (!out) return out;
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n == 0) continue;
        if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) return Ref();
        at += n;
    }
    return out;
}

// ---- names and paths of the layout (layout.cpp) ----

// True when s holds '/', '\\' or NUL. Any of them would carry a name out of
// its directory or cut it short at the operating system.
bool has_separator(PyObject* s);

// A name that can stand for one directory below the root: no separator, NUL,
// "", "." or "..".
bool is_plain_name(PyObject* name);

// Finds parent / name where the path object's own rules put it exactly one
// level below parent, under that very name: 1 with it in *out; 0 when they
// put it anywhere else; -1 when a step raised.
int child_path(PyObject* parent, PyObject* name, Ref* out);

// "*_" + the ID + ".json", the ID's glob specials escaped: it matches only
// the files of that ID.
Ref id_pattern(PyObject* simulation_id);

// The first path that type_dir.glob(pattern) yields, or None; the whole glob
// is read.
Ref first_match(PyObject* type_dir, PyObject* pattern);

// ---- what a result file can hold (finite.cpp) ----

// ValueError, and -1, when value holds NaN or an infinity, in itself or in
// dicts, lists and tuples nested to any depth; orjson would write null in its
// place and the file would no longer hold what was saved. The message names
// the place from `field` on. Iterative, so depth costs memory rather than C
// stack; it runs no Python code, so the borrowed containers stay as they are
// while it walks.
int check_finite(PyObject* field, PyObject* value);

// log().<level>(message). The logger is fetched before the message is built,
// so a failing logger never formats anything. -1 on failure.
template <class Build>
int log_message(PyObject* level, Build&& build)
{
    Ref logger = call_global(process.str.log);
    if (!logger) return -1;
    Ref message = build();
    if (!message || !call_method(logger.get(), level, {message.get()})) return -1;
    return 0;
}

// Makes an exception the thread's handled one for the scope's lifetime, as an
// except clause does, so that anything raised meanwhile chains to it; the
// previously handled exception comes back on every exit path.
class HandledScope {
public:
    explicit HandledScope(PyObject* exc) : previous_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
    ~HandledScope()
    {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    PyObject* previous_;
};

}  // namespace lumora
