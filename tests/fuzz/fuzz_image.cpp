// Feeds arbitrary bytes to the image decoders through the image layer's decode from memory
// (PNG, JPEG, BMP, GIF and TIFF, chosen by signature; the first byte picks a signature to put
// in front so that every decoder gets inputs). Bad data gives no buffer; crashes, hangs and
// sanitizer reports are faults. A decoded image must have a size within the limits, and small
// ones are encoded again by the system's own GIF and BMP encoders, whose output must decode
// to the same size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/series/image.h"
#include "datatypes/series/image_encoders.h"
#include "datatypes/series/image_qt.h"
#include "fuzz_support.h"

using namespace zel;

namespace {

const std::vector<uint8_t> SIGNATURES[] = {
    {},
    {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
    {0xFF, 0xD8, 0xFF},
    {'B', 'M'},
    {'G', 'I', 'F', '8', '9', 'a'},
    {'I', 'I', '*', 0},
    {'M', 'M', 0, '*'},
};

void check_reencoded(const std::vector<uint8_t>& bytes, uint32_t w, uint32_t h) {
    uint32_t node = image::decode_memory(bytes.data(), bytes.size());
    if (!node || image::buffer_width(node) != w || image::buffer_height(node) != h) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Decoder complaints stay visible so that a crash report is not hidden.
    setenv("ZEL_IMAGE_CODEC_MESSAGES", "1", 1);
    image_qt::use(zel_qt_image_api());
    // A few bytes may declare a large image that then decodes slowly under the sanitizers;
    // 16 MB (4 million pixels) keeps every input within the time limit.
    zel_qt_image_api()->set_allocation_limit(16);
    fuzz::init_runtime();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t mode;
    if (!fuzz::take_mode(data, size, mode)) return 0;
    const std::vector<uint8_t>& prefix = SIGNATURES[mode % 7];
    std::vector<uint8_t> input(prefix);
    input.insert(input.end(), data, data + size);
    // An exact-size copy, so that a read past the end is caught.
    auto* bytes = static_cast<uint8_t*>(std::malloc(input.size() ? input.size() : 1));
    if (!input.empty()) std::memcpy(bytes, input.data(), input.size());
    fuzz::run_guarded([&] {
        uint32_t node = image::decode_memory(bytes, input.size());
        if (!node) return;
        uint32_t w = image::buffer_width(node), h = image::buffer_height(node);
        if (w < 1 || h < 1 || w > image::MAX_SIDE || h > image::MAX_SIDE) std::abort();
        if (uint64_t(w) * h > 4096) return;
        const uint32_t* px = image::buffer_pixels(node);
        std::vector<uint32_t> pixels(px, px + size_t(w) * h);
        check_reencoded(gif::encode(pixels.data(), w, h), w, h);
        check_reencoded(bmp::encode(pixels.data(), w, h), w, h);
    });
    std::free(bytes);
    return 0;
}
