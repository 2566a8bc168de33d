// The routines of the image codecs (system/codecs/png, jpeg, bmp, gif and tiff): each encode
// hands the image to the image layer's encoder with its container number; every decode is
// the same routine, which lets the image layer recognise the data.
#include "library/image_codecs.h"

#include "core/routines.h"
#include "datatypes/series/image.h"

namespace zel::library {

namespace {

template <int32_t Container>
void encode_routine(Cell* args) {
    Cell* result = image::encode_as(&args[0], &args[1], Container);
    args[0] = *result;
}

void decode_routine(Cell* args) { args[0] = *image::decode_as(&args[0]); }

}  // namespace

void define_image_codec_routines() {
    const char* spec = "img [image!] where [any-type!]";
    routines::define("png-encode", spec, encode_routine<image::PNG>);
    routines::define("jpeg-encode", spec, encode_routine<image::JPEG>);
    routines::define("bmp-encode", spec, encode_routine<image::BMP>);
    routines::define("gif-encode", spec, encode_routine<image::GIF>);
    routines::define("tiff-encode", spec, encode_routine<image::TIFF>);
    routines::define("image-decode", "data [any-type!]", decode_routine);
}

}  // namespace zel::library
