// Process-wide state of the module: made once by the first successful
// initialisation and kept for the life of the process.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace lumora {

inline constexpr const char kModuleName[] = "lumora.core.simulation_storage";
inline constexpr const char kFileName[] = "src/lumora/core/simulation_storage";

struct Strings {
#define S(member, text) PyObject* member;
#include "strings.def"
#undef S
};

struct Tuples {
#define T(member, ...) PyObject* member;
#include "tuples.def"
#undef T
};

struct State {
    int64_t owner_interpreter_id = -1;
    PyObject* module_instance = nullptr;  // strong; cleared when exec fails
    PyObject* module_globals = nullptr;   // strong
    PyObject* builtins_module = nullptr;  // strong
    PyObject* function_type = nullptr;    // strong

    // Constants, all strong and never released.
    bool constants_ready = false;
    Strings str{};
    Tuples kw{};
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* int0 = nullptr;
    PyObject* int1 = nullptr;
    PyObject* int8 = nullptr;
    PyObject* slice_first8 = nullptr;  // [:8]
};

extern State g;

// Creates the constant strings, the numbers and the keyword tuples once per
// process. Returns -1 with an exception set on failure.
int init_constants();

}  // namespace lumora
