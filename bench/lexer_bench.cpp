// Lexer throughput beside Python 3's json.loads, measured in one run:
//   build/bench/zel_lexer_bench [megabytes]   (default 20; at least 20 is the goal's size)
// Generates a deterministic source text of mixed tokens (words of every kind, paths, numbers,
// strings with escapes, braced and raw strings, dates, times, money, tuples, pairs, points,
// tags, urls, emails, files, chars, binaries, comments, nested blocks and parens), loads it
// with the lexer, best of 3; then has python3 load a
// JSON document of the same byte size (the peers' generator, ../shared/bench-peers or
// $ZEL_BENCH_PEERS, written into a scratch folder) with json.loads, best of 3.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/collector.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "io/lexer.h"

using namespace zel;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t lcg = 12345;
uint32_t next_random(uint32_t n) {
    lcg = uint32_t(uint64_t(lcg) * 16807 % 2147483647);
    return lcg % n;
}

const char* const words[] = {"alpha", "beta", "gamma", "delta", "print", "append", "either",
                             "foreach", "value", "result", "x", "count", "make", "object!"};

void append_token(std::string& out) {
    char buf[96];
    const char* w = words[next_random(14)];
    switch (next_random(30)) {
        case 0: case 1: case 2: std::snprintf(buf, sizeof buf, "%s", w); break;
        case 3: std::snprintf(buf, sizeof buf, "%s:", w); break;
        case 4: std::snprintf(buf, sizeof buf, ":%s '%s", w, w); break;
        case 5: std::snprintf(buf, sizeof buf, "%s/%s/%u", w, words[next_random(14)], next_random(9) + 1); break;
        case 6: case 7: std::snprintf(buf, sizeof buf, "%u", next_random(1000000)); break;
        case 8: std::snprintf(buf, sizeof buf, "-%u'%03u", next_random(1000), next_random(1000)); break;
        case 9: std::snprintf(buf, sizeof buf, "%u.%02u", next_random(100000), next_random(100)); break;
        case 10: std::snprintf(buf, sizeof buf, "%u.%ue-%u", next_random(10), next_random(1000), next_random(30)); break;
        case 11: std::snprintf(buf, sizeof buf, "\"%s text %u\"", w, next_random(1000)); break;
        case 12: std::snprintf(buf, sizeof buf, "\"tab^-and ^\"quote^\" ^(20AC)\""); break;
        case 13: std::snprintf(buf, sizeof buf, "{braced {nested} text^/%s}", w); break;
        case 14: std::snprintf(buf, sizeof buf, "%%{raw ^ text}%%"); break;
        case 15: std::snprintf(buf, sizeof buf, "%u-%s-20%02u/%u:%02u:%02u+2:00", next_random(28) + 1,
                               "Mar", next_random(100), next_random(24), next_random(60), next_random(60)); break;
        case 16: std::snprintf(buf, sizeof buf, "%u:%02u:%02u.5", next_random(100), next_random(60), next_random(60)); break;
        case 17: std::snprintf(buf, sizeof buf, "USD$%u.%02u", next_random(100000), next_random(100)); break;
        case 18: std::snprintf(buf, sizeof buf, "%u.%u.%u", next_random(256), next_random(256), next_random(256)); break;
        case 19: std::snprintf(buf, sizeof buf, "%ux%u (%u.5, %u)", next_random(2000), next_random(2000), next_random(100), next_random(100)); break;
        case 20: std::snprintf(buf, sizeof buf, "<tag attr=\"%u\">", next_random(100)); break;
        case 21: std::snprintf(buf, sizeof buf, "http://example.org/%s?q=%u", w, next_random(1000)); break;
        case 22: std::snprintf(buf, sizeof buf, "user%u@example.org %%file-%u.txt", next_random(1000), next_random(1000)); break;
        case 23: std::snprintf(buf, sizeof buf, "#\"%c\" #\"^/\" #%s", 'a' + next_random(26), w); break;
        case 24: std::snprintf(buf, sizeof buf, "#{%08X%08X}", next_random(0x7FFFFFFF), next_random(0x7FFFFFFF)); break;
        case 25: std::snprintf(buf, sizeof buf, "; a comment about %s\n", w); break;
        case 26: std::snprintf(buf, sizeof buf, "%u%% /refine #(true) none", next_random(100)); break;
        case 27: std::snprintf(buf, sizeof buf, "[%s %u]", w, next_random(100)); break;
        case 28: std::snprintf(buf, sizeof buf, "(%s + %u)", w, next_random(100)); break;
        default: std::snprintf(buf, sizeof buf, "%s: func [a b] [a + b]", w); break;
    }
    out += buf;
}

// Tokens in blocks of a few levels, one block per line, until size bytes.
std::string make_source(size_t size) {
    std::string out;
    out.reserve(size + 256);
    while (out.size() < size) {
        out += '[';
        int n = int(next_random(12)) + 4;
        for (int i = 0; i < n; i++) {
            append_token(out);
            out += ' ';
        }
        out += "]\n";
    }
    out.resize(size);
    // The cut may leave a token or a block open: end on whole lines.
    size_t last = out.rfind('\n');
    out.resize(last + 1);
    while (out.size() < size) out += ' ';
    return out;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double time_lexer(const std::string& text) {
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        collector::RootedCell result;
        lexer::Options opt;
        auto t = Clock::now();
        lexer::transcode(&result, reinterpret_cast<const uint8_t*>(text.data()), text.size(), opt, nullptr);
        best = std::min(best, seconds_since(t));
        set_none(&result);
        collector::run_cycle();
    }
    return best;
}

std::string peers_folder() {
    if (const char* env = std::getenv("ZEL_BENCH_PEERS")) return env;
    return ZEL_BENCH_PEERS;
}

// python3's json.loads over a JSON document of the given size: seconds, best of 3 (< 0 when
// python3 or the generator is missing).
double time_json(size_t size, size_t* json_size) {
    namespace fs = std::filesystem;
    fs::path scratch = fs::temp_directory_path() / "zel-lexer-bench";
    fs::create_directories(scratch);
    std::string gen = peers_folder() + "/json/gen.py";
    if (!fs::exists(gen)) return -1;
    fs::path json = scratch / "data" / "json20m.json";
    if (!fs::exists(json)) {
        std::string cmd = "cd '" + scratch.string() + "' && python3 '" + gen + "' > /dev/null";
        if (std::system(cmd.c_str()) != 0) return -1;
    }
    std::string script = scratch.string() + "/time_json.py";
    {
        std::ofstream py(script);
        py << "import json, sys, time\n"
              "text = open(sys.argv[1], encoding='utf-8').read()[:int(sys.argv[2])]\n"
              "if not text.endswith(']'):\n"
              "    text = text[:text.rfind('},{') + 1] + ']'\n"
              "best = 1e9\n"
              "for _ in range(3):\n"
              "    t = time.perf_counter(); json.loads(text); best = min(best, time.perf_counter() - t)\n"
              "print(len(text), best)\n";
    }
    std::string cmd = "python3 '" + script + "' '" + json.string() + "' " + std::to_string(size);
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    unsigned long long n = 0;
    double t = -1;
    if (std::fscanf(p, "%llu %lf", &n, &t) != 2) t = -1;
    pclose(p);
    *json_size = size_t(n);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? size_t(std::atol(argv[1])) : 20;
    runtime::init_for_tests();
    size_t size = megabytes * 1000 * 1000;
    std::string text = make_source(size);
    double mb = double(text.size()) / 1e6;
    double load = time_lexer(text);
    std::printf("lexer   %.1f MB of mixed source: load %.3f s = %.1f MB/s\n", mb, load, mb / load);
    size_t json_size = 0;
    double json = time_json(text.size(), &json_size);
    if (json < 0) {
        std::printf("python3 json.loads: not measured (python3 or %s/json/gen.py missing)\n", peers_folder().c_str());
        return 0;
    }
    double jmb = double(json_size) / 1e6;
    std::printf("python3 json.loads  %.1f MB of JSON: %.3f s = %.1f MB/s\n", jmb, json, jmb / json);
    std::printf("lexer load / json.loads throughput: %.2f\n", (mb / load) / (jmb / json));
    return 0;
}
