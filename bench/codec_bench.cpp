// Compression speed and size beside zlib and the gzip command, measured in one run:
//   build/bench/zel_codec_bench [data file]   (default: data/mixed20m.bin of the peers folder,
//   ../shared/bench-peers or $ZEL_BENCH_PEERS)
// Prints our zlib-framed compressed size against zlib's level 6 on the same data, the time
// of our compress plus decompress against `gzip -6` plus `gzip -d` (processes over files,
// as the peer script runs them), and our inflate speed alone; then Zelbin encode and decode
// beside Python's pickle. Best of 3 runs each.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/collector.h"
#include "core/interpreter.h"
#include "bench/timing.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "io/compress.h"
#include "io/lexer.h"
#include "io/zelbin.h"

using namespace zel;
using namespace zel::bench;

namespace {

uint8_t* grow(void* owner, size_t, size_t need, size_t* capacity) {
    auto* v = static_cast<std::vector<uint8_t>*>(owner);
    v->resize(std::max(need, v->size() * 2));
    *capacity = v->size();
    return v->data();
}

// Zelbin beside Python's pickle: a block of 1,000,000 mixed values (integers, floats,
// strings, words and two-integer blocks, in turn), encoded compact and decoded.
void zelbin_bench() {
    runtime::init_for_tests();
    const char* src =
        "b: make block! 1000000 repeat i 200000 [append b i append b i + 0.5 append b form i "
        "append b 'w append/only b reduce [i i + 1]] b";
    collector::RootedCell code, value, encoded;
    lexer::load_utf8(&code, src);
    interp::eval_block(&code, false);
    *value = *(stack::top - 1);
    double t_encode = best_of_3([&] { zelbin::encode(&encoded, &value, true); });
    double t_decode = best_of_3([&] {
        Cell* dest = stack::push();
        set_series(dest, TYPE_BLOCK, memory::new_cell_series(1));
        zelbin::decode(memory::buf(series_node(&encoded))->data(), memory::buf(series_node(&encoded))->tail,
                       series_node(dest), dest);
        stack::top--;
        collector::run_cycle();
    });
    std::FILE* py = popen(
        "python3 -c \""
        "import pickle,time\n"
        "b=[]\n"
        "for i in range(1,200001): b += [i, i+0.5, str(i), 'w', [i, i+1]]\n"
        "best=lambda f: min((lambda t: (f(), time.perf_counter()-t)[1])(time.perf_counter()) for _ in range(3))\n"
        "d=pickle.dumps(b)\n"
        "print(best(lambda: pickle.dumps(b)), best(lambda: pickle.loads(d)))\"",
        "r");
    double p_dumps = 0, p_loads = 0;
    if (!py || std::fscanf(py, "%lf %lf", &p_dumps, &p_loads) != 2) std::fprintf(stderr, "python3 pickle failed\n");
    if (py) pclose(py);
    std::printf("zelbin    encode %.3f s  pickle.dumps %.3f s  ratio %.2f (goal <= 1)\n", t_encode, p_dumps,
                t_encode / p_dumps);
    std::printf("zelbin    decode %.3f s  pickle.loads %.3f s  ratio %.2f (goal <= 1)  (%u bytes)\n", t_decode, p_loads,
                t_decode / p_loads, memory::buf(series_node(&encoded))->tail);
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("ZEL_BENCH_PEERS");   // as bench/run.py takes it
    std::string peers = env ? env : ZEL_BENCH_PEERS;
    std::string path = argc > 1 ? argv[1] : peers + "/data/mixed20m.bin";
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s (run python3 deflate/gen.py in the peers folder)\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t n = data.size();

    std::vector<uint8_t> packed(compress::deflate_bound(n) + 6), back;
    size_t packed_len = 0;
    double t_compress = best_of_3([&] {
        packed_len = packed.size();
        compress::zlib_encode(packed.data(), &packed_len, data.data(), n);
    });
    packed.resize(packed_len);
    size_t produced = 0;
    auto decode = [&] {
        back.assign(4 * packed_len, 0);
        compress::GrowableOutput out{back.data(), back.size(), grow, &back};
        if (compress::decode(compress::Framing::ZLIB, out, &produced, packed.data(), packed_len) != compress::OK) std::abort();
    };
    double t_decompress = best_of_3(decode);
    back.resize(produced);
    bool same = back == data;
    std::vector<uint8_t> raw(packed.begin() + 2, packed.end() - 4), plain(n);
    double t_inflate = best_of_3([&] {
        size_t len = n;
        compress::inflate(plain.data(), &len, raw.data(), raw.size());
    });

    uLongf zlen = compressBound(n);
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, data.data(), n, 6);

    std::string tmp = "/tmp/zel_codec_bench." + std::to_string(getpid());
    std::string gz = "gzip -6 -n -c '" + path + "' > " + tmp + ".gz";
    std::string ungz = "gzip -d -c " + tmp + ".gz > " + tmp + ".out";
    double t_gzip = best_of_3([&] { if (std::system(gz.c_str())) std::abort(); });
    double t_gunzip = best_of_3([&] { if (std::system(ungz.c_str())) std::abort(); });
    std::system(("rm -f " + tmp + ".gz " + tmp + ".out").c_str());

    std::printf("data %zu bytes, round trip %s\n", n, same ? "ok" : "FAILED");
    std::printf("size      ours %zu  zlib-6 %lu  ratio %.4f (goal <= 1.02)\n", packed_len, zlen, double(packed_len) / double(zlen));
    std::printf("compress  ours %.3f s  gzip -6 %.3f s\n", t_compress, t_gzip);
    std::printf("decompress ours %.3f s  gzip -d %.3f s\n", t_decompress, t_gunzip);
    std::printf("both      ours %.3f s  gzip %.3f s  ratio %.3f (goal <= 1.2)\n", t_compress + t_decompress,
                t_gzip + t_gunzip, (t_compress + t_decompress) / (t_gzip + t_gunzip));
    std::printf("inflate   %.0f MB/s (goal >= 300)\n", double(n) / t_inflate / 1e6);
    zelbin_bench();
    return same ? 0 : 1;
}
