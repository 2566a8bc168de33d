// HTTP requests through libcurl (see http.h).
#include "io/http.h"

#include <curl/curl.h>

#include <cctype>
#include <string_view>
#include <utility>
#include <vector>

#include "core/actions.h"
#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "core/word.h"
#include "core/block.h"
#include "datatypes/series/map.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "io/simple_io.h"
#include "platform/shared_library.h"

namespace zel::http {

namespace {

constexpr long CONNECT_TIMEOUT_SECONDS = 60;
constexpr long STALL_SECONDS = 60;

struct Reply {
    std::string body;
    // The header lines of the latest response (a redirect's headers are dropped when the
    // next response starts).
    std::vector<std::string> header_lines;
};

size_t on_body(char* p, size_t size, size_t n, void* user) {
    static_cast<Reply*>(user)->body.append(p, size * n);
    return size * n;
}

size_t on_header(char* p, size_t size, size_t n, void* user) {
    auto* reply = static_cast<Reply*>(user);
    std::string_view line(p, size * n);
    if (line.substr(0, 5) == "HTTP/") reply->header_lines.clear();
    else reply->header_lines.emplace_back(line);
    return size * n;
}

// The text of a header name or value: a word's spelling, a string's text, else formed.
std::string header_text(const Cell* v, bool name) {
    uint32_t t = type_of(v);
    if (name && (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD))
        return std::string(symbol::spelling(word_symbol(v)));
    if (!name && t == TYPE_STRING) return string::to_utf8(v);
    Cell formed;
    actions::form_value(&formed, v);
    return string::to_utf8(&formed);
}

// The body to send: a binary's bytes, anything else as UTF-8 text (formed when not text).
std::string body_bytes(const Cell* data) {
    if (type_of(data) == TYPE_BINARY) {
        const SeriesBuf* b = memory::buf(series_node(data));
        uint32_t head = series::clipped_head(data);
        return std::string(reinterpret_cast<const char*>(b->data()) + head, b->tail - head);
    }
    return header_text(data, false);
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i]))) return false;
    return true;
}

// libcurl is loaded on the first request: linking it would map and relocate it, and the
// thirty-odd libraries it needs, at every start of every script.
struct Curl {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
    bool ready = false;

    Curl() {
        void* lib = platform::load_library("libcurl.so.4");
        if (!lib) return;
        bool found = true;
        auto get = [&](auto& fn, const char* name) { found = platform::bind_function(lib, fn, name) && found; };
        get(global_init, "curl_global_init");
        get(easy_init, "curl_easy_init");
        get(easy_setopt, "curl_easy_setopt");
        get(easy_perform, "curl_easy_perform");
        get(easy_getinfo, "curl_easy_getinfo");
        get(easy_cleanup, "curl_easy_cleanup");
        get(slist_append, "curl_slist_append");
        get(slist_free_all, "curl_slist_free_all");
        ready = found && global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }
};

}  // namespace

// `simple-io/parse-headers`: "name: value" lines into a map of name words; a repeated name
// collects its values in a block.
void parse_headers(Cell* out, const std::vector<std::string>& lines) {
    std::vector<std::pair<std::string, std::vector<std::string>>> fields;
    for (std::string line : lines) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        std::string name = line.substr(0, colon);
        size_t v = colon + 1;
        if (v < line.size() && line[v] == ' ') v++;
        std::string value = line.substr(v);
        auto it = fields.begin();
        while (it != fields.end() && !same_name(it->first, name)) ++it;
        if (it == fields.end()) fields.push_back({name, {value}});
        else it->second.push_back(value);
    }
    // The keys and values live on the stack (rooted) until the map is made from them.
    Cell* first = stack::top;
    for (const auto& [name, values] : fields) {
        word::make_global(stack::push(), TYPE_WORD, name);
        Cell* v = stack::push();
        if (values.size() == 1) {
            string::from_utf8(v, values[0]);
        } else {
            block::init_cell(v, int64_t(values.size()));
            for (const std::string& s : values) {
                Cell text;
                string::from_utf8(&text, s);
                block::append(series_node(v), &text);
            }
        }
    }
    map::from_cells(out, first, uint32_t(stack::top - first));
    stack::top = first;
}

bool is_http_url(const Cell* url) {
    std::string text = string::to_utf8(url);
    return text.size() >= 4 && same_name(std::string_view(text).substr(0, 4), "http");
}

bool request(Cell* out, std::string method, const Cell* url, const Cell* headers, const Cell* data, bool binary,
             bool lines, bool info) {
    static const Curl curl_lib;
    if (!curl_lib.ready) return false;
    for (char& c : method) c = char(std::toupper(uint8_t(c)));
    std::string target = string::to_utf8(url);
    std::vector<std::string> header_list;
    if (!headers) {
        header_list = {"Content-Type: application/x-www-form-urlencoded", "Accept-Charset: UTF-8",
                       "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64)"};
    } else if (is_any_block_type(type_of(headers))) {
        int32_t n = block::length(headers);
        for (int32_t i = 0; i + 1 < n; i += 2) {
            const Cell* h = block::head(headers) + i;
            std::string name = header_text(h, true), value = header_text(h + 1, false);
            // A line break would start a header of its own (and a colon in the name would
            // move text into the value): such a pair is refused before anything is sent.
            if (name.empty() || name.find_first_of(":\r\n") != std::string::npos)
                error::raise(error::ERR_SCRIPT_INVALID_ARG, h);
            if (value.find_first_of("\r\n") != std::string::npos) error::raise(error::ERR_SCRIPT_INVALID_ARG, h + 1);
            // "Name;" is how the client sends a header whose value is empty ("Name:" alone
            // would drop it).
            header_list.push_back(value.empty() ? name + ";" : name + ": " + value);
        }
    }
    bool sends_body = data && method != "GET" && method != "HEAD";
    std::string body = sends_body ? body_bytes(data) : std::string();
    if (target.find('\0') != std::string::npos) return false;

    CURL* curl = curl_lib.easy_init();
    if (!curl) return false;
    // The request carries the headers of the list only: the ones curl would add on its own
    // (Accept, Expect, and Content-Type for a body) are switched off unless the list names them.
    auto named = [&](std::string_view name) {
        for (const std::string& h : header_list)
            if (h.size() > name.size() && (h[name.size()] == ':' || h[name.size()] == ';') &&
                same_name(std::string_view(h).substr(0, name.size()), name))
                return true;
        return false;
    };
    struct curl_slist* list = nullptr;
    for (const std::string& h : header_list) list = curl_lib.slist_append(list, h.c_str());
    for (const char* own : {"Accept", "Expect", "Content-Type"})
        if (!named(own)) list = curl_lib.slist_append(list, (std::string(own) + ":").c_str());
    Reply reply;
    curl_lib.easy_setopt(curl, CURLOPT_URL, target.c_str());
    curl_lib.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_lib.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_lib.easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
    curl_lib.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_SECONDS);
    curl_lib.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_lib.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    curl_lib.easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_lib.easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_lib.easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, nullptr);
    curl_lib.easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_lib.easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_lib.easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_lib.easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (method == "HEAD") {
        curl_lib.easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
        if (method != "POST") curl_lib.easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (sends_body || method == "POST") {
            curl_lib.easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
            curl_lib.easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        }
    }
    CURLcode rc = curl_lib.easy_perform(curl);
    long status = 0;
    if (rc == CURLE_OK) curl_lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_lib.easy_cleanup(curl);
    curl_lib.slist_free_all(list);
    if (rc != CURLE_OK) return false;

    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.body.data());
    if (!info) {
        simple_io::bytes_to_value(out, bytes, reply.body.size(), binary, lines);
        return true;
    }
    // [status headers body], each part on the stack until the block holds it.
    Cell* first = stack::top;
    set_integer(stack::push(), int32_t(status));
    parse_headers(stack::push(), reply.header_lines);
    simple_io::bytes_to_value(stack::push(), bytes, reply.body.size(), binary, lines);
    Cell result;
    block::init_cell(&result, 3);
    block::append_cells(series_node(&result), first, 3);
    stack::top = first;
    *out = result;
    return true;
}

}  // namespace zel::http
