// The interface between the image layer and its Qt module (backend/qt/image_codec.cpp), kept
// to plain C types so that the module can be loaded with dlopen on first use: a process that
// never decodes or encodes an image never maps Qt.
#pragma once
#include <cstddef>
#include <cstdint>

extern "C" {

struct ZelQtImageApi {
    int32_t version;
    // Decodes one image (the first frame) from bytes in the named format ("png", "jpeg",
    // "bmp", "gif", "tiff"); on success writes its size and returns a handle for copy_pixels
    // and release, else null. Images above 65535 a side or above the decoder's allocation
    // limit fail.
    void* (*decode)(const uint8_t* data, size_t n, const char* format, int32_t* w, int32_t* h);
    // Copies the decoded pixels, w × h words 0xAARRGGBB (straight alpha), packed.
    void (*copy_pixels)(void* handle, uint32_t* dst);
    void (*release)(void* handle);
    // Encodes w × h packed pixels in the named format ("png", "jpeg", "bmp", "tiff"); returns a
    // malloc'd buffer of *n bytes, or null on failure. quality < 0: the writer's default.
    uint8_t* (*encode)(const uint32_t* pixels, int32_t w, int32_t h, const char* format, int32_t quality,
                       size_t* n);
    void (*free_bytes)(uint8_t* bytes);
    // Sets the largest image a decode may allocate, in megabytes (256 at the start).
    void (*set_allocation_limit)(int32_t megabytes);
};

constexpr int32_t ZEL_QT_IMAGE_API_VERSION = 1;

// The module's one exported symbol.
const ZelQtImageApi* zel_qt_image_api();
}

namespace zel::image_qt {

// The Qt module's interface, loading the module on first use; null (with a message on the
// diagnostic output, once) when it cannot be loaded.
const ZelQtImageApi* api();
// Uses an interface linked into the process instead of loading the module (fuzz harnesses).
void use(const ZelQtImageApi* linked);
// Whether the module has been loaded in this process.
bool loaded();

}  // namespace zel::image_qt
