// Traceback entries for exceptions leaving the module's functions.
#include <cstring>

#include "binding.hpp"

#include <frameobject.h>

namespace lumora {

namespace {

// One code object per (line, name), kept sorted by line and searched by
// bisection: making a code object costs about half a microsecond, and error
// paths in loops (listing, clearing) would otherwise pay it per failure.
struct CacheEntry {
    int line;
    const char* name;
    PyObject* code;
};

struct CodeCache {
    CacheEntry* entries = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeCache traceback_code_cache;

// Index of the first entry whose line is not below `line`.
int lower_bound(int line)
{
    int lo = 0, hi = traceback_code_cache.count;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (traceback_code_cache.entries[mid].line < line) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

PyObject* find_code(int line, const char* name, int* insert_at)
{
    int i = lower_bound(line);
    *insert_at = i;
    for (; i < traceback_code_cache.count && traceback_code_cache.entries[i].line == line; ++i) {
        if (std::strcmp(traceback_code_cache.entries[i].name, name) == 0) return traceback_code_cache.entries[i].code;
    }
    return nullptr;
}

// Takes over the reference to `code`; on allocation failure the entry is
// simply not cached and the caller keeps using its own reference.
bool insert_code(int at, int line, const char* name, PyObject* code)
{
    CodeCache& c = traceback_code_cache;
    if (c.count == c.capacity) {
        int capacity = c.capacity + 64;
        auto* grown = static_cast<CacheEntry*>(PyMem_Realloc(c.entries, sizeof(CacheEntry) * capacity));
        if (!grown) return false;
        c.entries = grown;
        c.capacity = capacity;
    }
    std::memmove(c.entries + at + 1, c.entries + at, sizeof(CacheEntry) * (c.count - at));
    c.entries[at] = CacheEntry{line, name, code};
    ++c.count;
    return true;
}

}  // namespace

void add_traceback_entry(const char* name, int line, const char* file)
{
    int at = 0;
    Ref code = Ref::borrow(find_code(line, name, &at));
    if (!code) {
        // Making objects with an exception pending is not allowed; park it.
        PyObject* exc = PyErr_GetRaisedException();
        code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
        if (!code) {
            Py_XDECREF(exc);  // the MemoryError (or whatever) takes its place
            return;
        }
        PyErr_SetRaisedException(exc);
        if (insert_code(at, line, name, code.get())) Py_INCREF(code.get());
    }
    PyObject* exc = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                       g.module_globals, nullptr);
    if (!frame) {
        PyErr_Clear();  // losing one entry beats losing the caller's exception
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace lumora
