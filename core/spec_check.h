// The start-up check that holds the Zel specs of the actions and natives to the C++ lists
// they are dispatched by (actions.def, natives.def): each word must hold a callable of the
// right datatype and slot, whose refinements are the listed ones in the listed order. The
// dispatchers and natives read refinements by position, so a spec that drifted from its list
// would hand them the wrong arguments; start-up refuses it instead.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zel::spec_check {

// What a .def entry says about one callable. `refinements` is the list as written in the .def
// ("(part, only, case_)", "" or "()" for none): C++ names, which name the refinement with
// underscores as hyphens and a trailing underscore dropped.
struct Expected {
    const char* word;
    int32_t slot;
    const char* refinements;
};

// The refinement words a .def list names, in order ("(half_down, case_)" gives half-down, case).
std::vector<std::string> refinement_words(const char* list);

// Compares the value of the global word e.word with the entry: "" when they agree, else a
// message naming the word and the difference.
std::string compare(uint32_t type, const Expected& e);

// The actions with a Zel spec, from actions.def (set-path and compare have none).
std::vector<Expected> actions();

// Checks every entry; the messages of the mismatches, one a line, "" when all agree.
std::string check(uint32_t type, const std::vector<Expected>& list);

}  // namespace zel::spec_check
