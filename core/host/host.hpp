// What the module expects of its host package. The module reaches every host
// service through a module global looked up at the moment of use; this header
// names them and the calls made on them, so the bodies and the module body
// agree on one list.
#pragma once

#include "../state.hpp"

namespace lumora::host {

// Bound at import by `from lumora.models import ...` (line 15).
//   StoredSimulationResult: called with the sixteen record keywords; has
//     model_validate(document) and, on records, model_dump() -> dict and the
//     attributes simulation_id, component_name, factory_name, pdk_name,
//     status and simulation_date (values that order with <).
//   SimulationHyperparameters: instances have model_dump() -> a value that
//     json.dumps(..., sort_keys=True) can write.
//   SimulationStatus: annotations only.
//
// Bound at import through lazy_import (lines 38 to 43), each an object that
// resolves on first use:
//   orjson               the JSON library: dumps, loads, OPT_INDENT_2
//   __version__          str() gives the package version
//   log                  log() -> logger with debug(str) and warning(str)
//   get_build_dir        never called
//   get_pdk_name         get_pdk_name() -> the active design kit's name
//   get_simulations_dir  get_simulations_dir() -> the store root, a
//                        pathlib-like path: / str, exists, iterdir, is_dir,
//                        glob, mkdir(parents=, exist_ok=), read_bytes,
//                        write_bytes, unlink, with_name, replace, name

// One `<global> = lazy_import(<module>[, <attribute>])` statement, its names
// taken from the module's constant strings.
struct LazyBinding {
    int line;
    PyObject* Strings::* global;     // the module global bound
    PyObject* Strings::* module;     // first argument of lazy_import
    PyObject* Strings::* attribute;  // second argument, or nullptr for the module itself
};

inline constexpr LazyBinding kLazyBindings[] = {
    {38, &Strings::orjson, &Strings::orjson, nullptr},
    {39, &Strings::dunder_version, &Strings::lumora, &Strings::dunder_version},
    {40, &Strings::log, &Strings::lumora_logger, &Strings::get_logger},
    {41, &Strings::get_build_dir, &Strings::lumora_settings, &Strings::get_build_dir},
    {42, &Strings::get_pdk_name, &Strings::lumora_settings, &Strings::get_pdk_name},
    {43, &Strings::get_simulations_dir, &Strings::lumora_settings, &Strings::get_simulations_dir},
};

}  // namespace lumora::host
