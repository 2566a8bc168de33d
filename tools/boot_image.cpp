// Writes the boot image: loads every library source file (library/*.zel, embedded in this
// tool), serializes the block of their names and code blocks in the compact Zelbin format,
// and writes it as a C++ unit holding the bytes. The image stays uncompressed: start-up then
// reads it where it lies in the executable's read-only data, and the 46 KB it saves in the
// file cost more at every start (a decoder pass and a heap buffer to fill) than they save.
//   zel_boot_tool <out.cpp>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/boot_image.h"
#include "core/collector.h"
#include "core/embedded_library.h"
#include "core/memory.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/lexer.h"
#include "io/zelbin.h"

// The tool itself starts without a boot image.
namespace zel::embedded {
const unsigned char boot_image[] = {0};
const size_t boot_image_size = 0;
}  // namespace zel::embedded

using namespace zel;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zel_boot_tool <out.cpp>\n");
        return 2;
    }
    runtime::init_core();
    std::vector<uint8_t> image;
    uint32_t level = stack::capture([&] {
        collector::RootedCell files, code, name, encoded;
        block::init_cell(&files, 2 * embedded::library_file_count);
        for (int i = 0; i < embedded::library_file_count; i++) {
            const embedded::LibraryFile& f = embedded::library_files[i];
            string::from_utf8(&name, f.name);
            block::append(series_node(&files), &name);
            lexer::load_utf8(&code, std::string_view(f.text, f.length));
            block::append(series_node(&files), &code);
        }
        zelbin::encode(&encoded, &files, true);
        SeriesBuf* b = memory::buf(series_node(&encoded));
        // The version byte of the boot image is 1.
        image.assign(b->data(), b->data() + b->tail);
        image[6] = 1;
    });
    if (level != stack::LEVEL_NONE) {
        std::fprintf(stderr, "zel_boot_tool: the library source does not load\n");
        return 1;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "// generated from library/*.zel by tools/boot_image.cpp, do not edit\n");
    std::fprintf(out, "#include \"core/boot_image.h\"\n\nnamespace zel::embedded {\n\n");
    std::fprintf(out, "const unsigned char boot_image[] = {");
    for (size_t i = 0; i < image.size(); i++) std::fprintf(out, "%s%u,", i % 24 ? "" : "\n    ", image[i]);
    std::fprintf(out, "\n};\nconst size_t boot_image_size = %zu;\n\n}  // namespace zel::embedded\n", image.size());
    return std::fclose(out) == 0 ? 0 : 1;
}
