// `simple-io/request-http`: one synchronous HTTP request through libcurl (loaded on the first
// request; when it cannot be loaded every request fails). Redirects are
// followed, TLS certificates are checked against the system store, connecting gives up after
// 60 s and a reply that stalls for 60 s is abandoned. Evaluates no Zel code.
#pragma once
#include <string>
#include <vector>

#include "core/cell.h"

namespace zel::http {

// method: the method word's spelling (get, head and post by their names, any other word
// upper-cased); headers: a block of name/value pairs or nullptr for the three default
// headers; data: the body (binary! as bytes, anything else as UTF-8 text) or nullptr. The
// body goes to out as a string!, binary! or block of lines, or with info the block
// [status headers body]. False, with out untouched, when the request fails.
bool request(Cell* out, std::string method, const Cell* url, const Cell* headers, const Cell* data, bool binary,
             bool lines, bool info);

// `simple-io/parse-headers`: reply header lines ("name: value", line ends allowed) into a
// map! of name words to strings; a repeated name (in any letter case) gathers its values in
// a block. Lines without a name and colon are skipped. Uses the value stack above its top.
void parse_headers(Cell* out, const std::vector<std::string>& lines);

// Whether a url goes to the HTTP service: its text starts with "http" in any letter case.
bool is_http_url(const Cell* url);

}  // namespace zel::http
