// Refusing non-finite numbers in what a result file would hold.
#include <cmath>
#include <new>
#include <unordered_set>
#include <vector>

#include "common.hpp"

namespace lumora {

namespace {

// One container on the way from a field to the value being checked.
struct Level {
    PyObject* container;  // borrowed: a dict, list or tuple
    Py_ssize_t pos;       // PyDict_Next position, or the index of the next item
    PyObject* key;        // the dict key of the current item (borrowed); null for sequences
};

// Paths shallower than this are walked without a cycle guard; only a cycle
// (or hostile nesting) gets deeper, and orjson refuses both anyway.
constexpr size_t kGuardDepth = 64;

// Subscripts shown at each end of a deeper path.
constexpr size_t kShownLevels = 10;

// Sets the ValueError for a non-finite number at the end of path: the field
// name followed by one subscript per level, as Python would write it.
void refuse_non_finite(PyObject* field, const std::vector<Level>& path, double number)
{
    // Own the keys first: their repr is Python code that could change the containers.
    std::vector<Ref> keys;
    keys.reserve(path.size());
    for (const Level& level : path) keys.push_back(Ref::borrow(level.key));
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), field) < 0) return;
    for (size_t i = 0; i < path.size(); ++i) {
        // Hostile nesting would make the text as long as the data: its middle goes.
        if (path.size() > 2 * kShownLevels && i == kShownLevels) {
            if (PyList_Append(parts.get(), process.str.elided_levels) < 0) return;
            i = path.size() - kShownLevels;
        }
        Ref part = keys[i] ? Ref::steal(PyUnicode_FromFormat("[%R]", keys[i].get()))
                           : Ref::steal(PyUnicode_FromFormat("[%zd]", path[i].pos - 1));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return;
    }
    Ref where = Ref::steal(PyUnicode_Join(process.empty_str, parts.get()));
    if (!where) return;
    const char* text = std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf";
    PyErr_Format(PyExc_ValueError, "%U is %s: only finite numbers can be saved (JSON has no NaN or infinity)",
                 where.get(), text);
}

// The next item of the innermost container, or null when it is exhausted.
PyObject* next_item(Level& level)
{
    PyObject* container = level.container;
    if (PyDict_Check(container)) {
        PyObject* value;
        return PyDict_Next(container, &level.pos, &level.key, &value) ? value : nullptr;
    }
    if (PyList_Check(container))
        return level.pos < PyList_GET_SIZE(container) ? PyList_GET_ITEM(container, level.pos++) : nullptr;
    return level.pos < PyTuple_GET_SIZE(container) ? PyTuple_GET_ITEM(container, level.pos++) : nullptr;
}

}  // namespace

int check_finite(PyObject* field, PyObject* value)
{
    try {
        std::vector<Level> path;
        std::unordered_set<PyObject*> open;  // the path's containers, while it is deeper than kGuardDepth
        PyObject* item = value;
        while (true) {
            if (PyFloat_CheckExact(item) || PyFloat_Check(item)) {
                const double number = PyFloat_AS_DOUBLE(item);
                if (!std::isfinite(number)) [[unlikely]] {
                    refuse_non_finite(field, path, number);
                    return -1;
                }
            } else if (PyDict_Check(item) || PyList_Check(item) || PyTuple_Check(item)) {
                bool enter = true;
                if (path.size() >= kGuardDepth) [[unlikely]] {
                    if (open.empty())
                        for (const Level& level : path) open.insert(level.container);
                    // A container already on the path is being checked there.
                    enter = open.insert(item).second;
                }
                if (enter) path.push_back(Level{item, 0, nullptr});
            }
            item = nullptr;
            while (!path.empty() && !(item = next_item(path.back()))) {
                PyObject* done = path.back().container;
                path.pop_back();
                if (path.size() >= kGuardDepth)
                    open.erase(done);
                else if (!open.empty())
                    open.clear();  // the guard is rebuilt when the path is deep again
            }
            if (!item) return 0;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace lumora
