// Holding the callables' Zel specs to their .def lists (see spec_check.h).
#include "core/spec_check.h"

#include "core/actions.h"
#include "core/cell.h"
#include "core/memory.h"
#include "core/symbol.h"
#include "core/word.h"

namespace zel::spec_check {

std::vector<std::string> refinement_words(const char* list) {
    std::vector<std::string> words;
    std::string current;
    auto finish = [&] {
        if (!current.empty() && current.back() == '_') current.pop_back();
        for (char& ch : current)
            if (ch == '_') ch = '-';
        if (!current.empty()) words.push_back(current);
        current.clear();
    };
    for (const char* p = list; *p; p++) {
        char c = *p;
        if (c == '(' || c == ')' || c == ' ') continue;
        if (c == ',') finish();
        else current += c;
    }
    finish();
    return words;
}

namespace {

std::string join(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "/" : " /") + w;
    return s.empty() ? "none" : s;
}

}  // namespace

std::string compare(uint32_t type, const Expected& e) {
    std::string who = std::string(e.word) + " (" + actions::type_name(type) + " " + std::to_string(e.slot) + ")";
    const Cell* v = word::global_value(e.word);
    if (!v || type_of(v) != type) return who + ": the word does not hold a " + actions::type_name(type);
    if (int32_t(callable_slot(v)) != e.slot)
        return who + ": the library makes it with slot " + std::to_string(int32_t(callable_slot(v)));
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
        return who + ": the spec's refinements are " + join(in_spec) + ", the C++ list has " + join(listed);
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
