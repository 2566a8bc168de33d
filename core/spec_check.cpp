// Holding the callables' Zel specs to their .def lists (see spec_check.h).
#include "core/spec_check.h"

#include "core/actions.h"
#include "core/cell.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/word.h"

#include <string_view>

namespace zel::spec_check {

namespace {

// The next refinement word of a .def list from *p on, spelled as in Zel ("half_down" as
// half-down, "case_" as case) into out; false when the list has no more.
bool next_listed(const char*& p, char* out, size_t room, size_t* len) {
    while (*p == '(' || *p == ')' || *p == ' ' || *p == ',') p++;
    if (!*p) return false;
    size_t n = 0;
    char last = 0;
    for (; *p && *p != ',' && *p != ')'; p++) {
        if (*p == ' ') continue;
        if (n == room) return false;
        last = *p;
        out[n++] = last == '_' ? '-' : last;
    }
    if (last == '_') n--;
    *len = n;
    return true;
}

std::string join(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "/" : " /") + w;
    return s.empty() ? "none" : s;
}

// Whether the spec's refinements (up to /local) are the list's, in order. Start-up runs this
// for every action and native: it reads both in place, without building strings.
bool same_refinements(uint32_t spec_node, const char* list) {
    SeriesBuf* spec = memory::buf(spec_node);
    const char* p = list;
    char name[64];
    size_t len = 0;
    for (uint32_t i = 0; i < spec->length(); i++) {
        const Cell* c = &spec->cells()[i];
        if (type_of(c) != TYPE_REFINEMENT) continue;
        std::string_view in_spec = symbol::spelling(word_symbol(c));
        if (in_spec == "local") break;
        if (!next_listed(p, name, sizeof name, &len) || in_spec != std::string_view(name, len)) return false;
    }
    return !next_listed(p, name, sizeof name, &len);
}

}  // namespace

std::vector<std::string> refinement_words(const char* list) {
    std::vector<std::string> words;
    char name[64];
    size_t len = 0;
    for (const char* p = list; next_listed(p, name, sizeof name, &len);) words.emplace_back(name, len);
    return words;
}

std::string compare(uint32_t type, const Expected& e) {
    auto who = [&] {
        return std::string(e.word) + " (" + actions::type_name(type) + " " + std::to_string(e.slot) + ")";
    };
    const Cell* v = word::global_value(e.word);
    if (!v || type_of(v) != type) return who() + ": the word does not hold a " + actions::type_name(type);
    if (int32_t(callable_slot(v)) != e.slot)
        return who() + ": the library makes it with slot " + std::to_string(int32_t(callable_slot(v)));
    if (same_refinements(callable_spec(v), e.refinements)) return "";
    std::vector<std::string> in_spec;
    SeriesBuf* spec = memory::buf(callable_spec(v));
    for (uint32_t i = 0; i < spec->length(); i++) {
        const Cell* c = &spec->cells()[i];
        if (type_of(c) != TYPE_REFINEMENT) continue;
        std::string name(symbol::spelling(word_symbol(c)));
        if (name == "local") break;
        in_spec.push_back(name);
    }
    std::vector<std::string> listed = refinement_words(e.refinements);
    if (in_spec != listed)
        return who() + ": the spec's refinements are " + join(in_spec) + ", the C++ list has " + join(listed);
    return "";
}

std::vector<Expected> actions() {
    std::vector<Expected> list;
#define ZEL_ACTION(n, word, cname, signature, refinements) \
    if (n != ACT_SET_PATH && n != ACT_COMPARE) list.push_back({word, n, #refinements});
#include "core/actions.def"
#undef ZEL_ACTION
    return list;
}

std::string check(uint32_t type, const std::vector<Expected>& list) {
    std::string messages;
    for (const auto& e : list) {
        std::string m = compare(type, e);
        if (!m.empty()) messages += m + "\n";
    }
    return messages;
}

}  // namespace zel::spec_check
