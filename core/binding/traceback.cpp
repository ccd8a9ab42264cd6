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
        if (traceback_code_cache.entries[mid].line < line)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Keeps a reference to `code` at `at` when the cache can grow; without the
// memory it simply goes uncached.
void remember_code(int at, int line, const char* name, PyObject* code)
{
    CodeCache& c = traceback_code_cache;
    if (c.count == c.capacity) {
        int capacity = c.capacity + 64;
        auto* grown = static_cast<CacheEntry*>(PyMem_Realloc(c.entries, sizeof(CacheEntry) * capacity));
        if (!grown) return;
        c.entries = grown;
        c.capacity = capacity;
    }
    std::memmove(c.entries + at + 1, c.entries + at, sizeof(CacheEntry) * (c.count - at));
    c.entries[at] = CacheEntry{line, name, Py_NewRef(code)};
    ++c.count;
}

// The code object of the entry (name, line), made and cached on first use.
Ref code_for(const char* name, int line, const char* file)
{
    const CodeCache& c = traceback_code_cache;
    const int at = lower_bound(line);
    for (int i = at; i < c.count && c.entries[i].line == line; ++i) {
        if (std::strcmp(c.entries[i].name, name) == 0) return Ref::borrow(c.entries[i].code);
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, line)));
    if (code) remember_code(at, line, name, code.get());
    return code;
}

}  // namespace

void add_traceback_entry(const char* name, int line, const char* file)
{
    // Making objects with an exception pending is not allowed; park it.
    PyObject* exc = PyErr_GetRaisedException();
    Ref code = code_for(name, line, file);
    if (!code) {
        Py_XDECREF(exc);  // the MemoryError (or whatever) takes its place
        return;
    }
    PyFrameObject* frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), process.module_globals, nullptr);
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
