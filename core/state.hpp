// The module's process-wide state: made once by the first successful
// initialisation and kept for the life of the process.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace lumora {

// Macros as well, for the literals that are joined to them at compile time.
#define LUMORA_MODULE_NAME "lumora.core.simulation_storage"
#define LUMORA_FILE_NAME "src/lumora/core/simulation_storage"
inline constexpr const char kModuleName[] = LUMORA_MODULE_NAME;
inline constexpr const char kFileName[] = LUMORA_FILE_NAME;

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

struct ProcessState {
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
    PyObject* int8 = nullptr;
    PyObject* slice_first8 = nullptr;  // [:8]
};

extern ProcessState process;

// Creates the constant strings, the numbers and the keyword tuples once per
// process. Returns -1 with an exception set on failure.
int init_constants();

}  // namespace lumora
