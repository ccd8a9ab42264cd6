// The result store: the descriptions of the module's Python-level functions,
// each defined beside its body in the unit of its topic.
#pragma once

#include "../binding/binding.hpp"

namespace lumora {

extern FuncDesc compute_simulation_id_desc;     // identity.cpp
extern FuncDesc get_simulation_file_path_desc;  // layout.cpp
extern FuncDesc find_simulation_file_desc;      // layout.cpp
extern FuncDesc save_simulation_result_desc;    // save.cpp
extern FuncDesc load_simulation_result_desc;    // load.cpp
extern FuncDesc find_simulation_result_desc;    // load.cpp
extern FuncDesc matches_filters_desc;           // listing.cpp
extern FuncDesc list_simulation_results_desc;   // listing.cpp
extern FuncDesc sort_key_desc;                  // listing.cpp
extern FuncDesc delete_simulation_result_desc;  // removal.cpp
extern FuncDesc clear_simulation_results_desc;  // removal.cpp

}  // namespace lumora
