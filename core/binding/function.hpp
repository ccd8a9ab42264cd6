// The module function type: what Python sees of the module's functions.
#pragma once

#include "binding.hpp"

namespace lumora {

// Gets the function type (and its metatype) from the shared runtime module,
// making and registering them on first use in the process. -1 on failure.
int init_function_type();

// Makes f's code object, for introspection only; after prepare_binding. -1 on
// failure.
int prepare_code(FuncDesc& f);

// Makes a function object of the module for f: its name, qualified name,
// module name, globals, code object and docstring come from f and the state.
Ref make_function(FuncDesc& f);

// Set by the module body right after creation, bypassing the assignment
// rules (and warnings) that apply to Python code.
void set_function_kwdefaults(PyObject* func, PyObject* kwdefaults);
void set_function_annotations(PyObject* func, PyObject* annotations);

}  // namespace lumora
