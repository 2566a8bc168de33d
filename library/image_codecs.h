// The image codecs' routines, defined under global words (png-encode ... tiff-encode and
// image-decode) before the library runs; the library moves them into the codec objects of
// system/codecs and unsets the words.
#pragma once

namespace zel::library {
void define_image_codec_routines();
}
