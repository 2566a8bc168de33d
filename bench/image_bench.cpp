// Image codec speed beside ImageMagick's `convert`, measured in one run:
//   build/bench/zel_image_bench [width height]   (default 4000 3000)
// Makes a photo-like test image (smooth gradients with noise), saves it as PNG, then times
//   1. decoding that PNG and encoding it again as PNG, against `convert in.png out.png`;
//   2. decoding it, scaling it 2x by nearest neighbour and encoding the result as PNG,
//      against `convert in.png -sample 200% out.png`.
// Both sides read and write files. Best of 3 runs each; prints the times and the ratio
// Zel/convert (below 1: Zel is faster).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "datatypes/series/image.h"

using namespace zel;
using namespace zel::bench;

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_binary(const std::string& path, const Cell* bin) {
    SeriesBuf* b = memory::buf(series_node(bin));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b->data()), b->tail);
}

// Decodes the file, optionally scales it 2x, encodes it as PNG and writes it.
void zel_run(const std::string& in, const std::string& out, bool scale) {
    Cell* mark = stack::top;
    std::vector<uint8_t> bytes = read_file(in);
    Cell* img = stack::push();
    image::init_cell(img, image::decode_memory(bytes.data(), bytes.size()));
    if (!series_node(img)) {
        std::fprintf(stderr, "decode failed\n");
        std::exit(1);
    }
    if (scale) img = image::push_resized(img, image::width_of(img) * 2, image::height_of(img) * 2);
    Cell* bin = stack::push_none();
    image::encode(img, bin, image::PNG);
    write_binary(out, bin);
    stack::top = mark;
}

double convert_run(const std::string& args) {
    return best_of_3([&] {
        if (std::system(("convert " + args).c_str()) != 0) {
            std::fprintf(stderr, "convert failed: %s\n", args.c_str());
            std::exit(1);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t w = argc > 2 ? uint32_t(std::atoi(argv[1])) : 4000, h = argc > 2 ? uint32_t(std::atoi(argv[2])) : 3000;
    runtime::init_for_tests();
    std::string dir = "/tmp/zel_image_bench";
    std::system(("mkdir -p " + dir).c_str());
    std::string src = dir + "/in.png";
    {
        std::mt19937 rng(1);
        std::vector<uint32_t> px(size_t(w) * h);
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                uint32_t n = rng() & 7;
                uint32_t r = (x * 255 / w + n) & 0xFF, g = (y * 255 / h + n) & 0xFF, b = ((x + y) * 127 / (w + h) + n) & 0xFF;
                px[size_t(y) * w + x] = 0xFF000000u | r << 16 | g << 8 | b;
            }
        Cell* img = stack::push();
        image::init_cell(img, image::from_pixels(w, h, px.data()));
        Cell* bin = stack::push_none();
        image::encode(img, bin, image::PNG);
        write_binary(src, bin);
        stack::drop(2);
    }
    std::printf("image %ux%u, PNG of %zu bytes\n", w, h, read_file(src).size());
    double zel_codec = best_of_3([&] { zel_run(src, dir + "/zel_out.png", false); });
    double im_codec = convert_run(src + " " + dir + "/im_out.png");
    std::printf("decode+encode PNG    zel %.3f s   convert %.3f s   ratio %.2f   (output %zu vs %zu bytes)\n",
                zel_codec, im_codec, zel_codec / im_codec, read_file(dir + "/zel_out.png").size(),
                read_file(dir + "/im_out.png").size());
    double zel_scale = best_of_3([&] { zel_run(src, dir + "/zel_2x.png", true); });
    double im_scale = convert_run(src + " -sample 200% " + dir + "/im_2x.png");
    std::printf("decode+2x scale+PNG  zel %.3f s   convert %.3f s   ratio %.2f   (output %zu vs %zu bytes)\n",
                zel_scale, im_scale, zel_scale / im_scale, read_file(dir + "/zel_2x.png").size(),
                read_file(dir + "/im_2x.png").size());
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
