// The checksum native: CRC-32, TCP, Adler-32, the MD5 and SHA digests and their HMAC over a
// binary!, the UTF-8 bytes of a string, or the bytes of a file. It evaluates no Zel code.
#include <cstring>
#include <string>

#include "core/error.h"
#include "core/memory.h"
#include "core/stack.h"
#include "core/symbol.h"
#include "datatypes/series/series.h"
#include "datatypes/series/string.h"
#include "natives/checksum.h"
#include "natives/native_support.h"
#include "natives/native_units.h"
#include "platform/files.h"

namespace zel::natives {

using memory::buf;

namespace {

// The method words, compared by canonical symbol ('MD5 and 'md5 are one method).
enum Method { M_TCP, M_MD5, M_SHA1, M_CRC32, M_ADLER32, M_SHA256, M_SHA384, M_SHA512, M_HASH, METHOD_COUNT };
constexpr const char* METHOD_NAMES[METHOD_COUNT] = {"tcp",     "md5",    "sha1",   "crc32", "adler32",
                                                    "sha256", "sha384", "sha512", "hash"};

// `checksum/init`: the canonical symbols of the method words, made on first use.
const uint32_t* method_symbols() {
    static uint32_t symbols[METHOD_COUNT] = {};
    if (!symbols[0])
        for (int m = 0; m < METHOD_COUNT; m++) symbols[m] = symbol::canonical(symbol::intern(METHOD_NAMES[m]));
    return symbols;
}

// The method a word names, or -1.
int method_of(const Cell* word) {
    uint32_t canonical = symbol::canonical(word_symbol(word));
    const uint32_t* symbols = method_symbols();
    for (int m = 0; m < METHOD_COUNT; m++)
        if (symbols[m] == canonical) return m;
    return -1;
}

int digest_id(int method) {
    switch (method) {
        case M_MD5: return checksum::MD5;
        case M_SHA1: return checksum::SHA1;
        case M_SHA256: return checksum::SHA256;
        case M_SHA384: return checksum::SHA384;
        case M_SHA512: return checksum::SHA512;
        default: return -1;
    }
}

// A new binary! holding a copy of n bytes.
void new_binary(Cell* out, const uint8_t* bytes, size_t n) {
    uint32_t node = memory::new_series(n ? n : 1, 1);
    SeriesBuf* b = buf(node);
    std::memcpy(b->data(), bytes, n);
    b->tail = uint32_t(n);
    set_series(out, TYPE_BINARY, node);
}

// Reads the whole file named by a file! value into a new binary! (into out, a rooted cell);
// access/cannot-open when it cannot be read.
void read_file_bytes(Cell* out, const Cell* file) {
    platform::InputFile in(string::to_utf8(file));
    if (!in.is_open()) error::raise(error::ERR_ACCESS_CANNOT_OPEN, file);
    uint64_t hint = in.size_hint();
    if (hint > 0x7FFFFFF0u) memory::raise_no_memory();
    uint32_t node = memory::new_series(size_t(hint) + 1, 1);
    set_series(out, TYPE_BINARY, node);
    for (;;) {
        SeriesBuf* b = buf(node);
        if (b->tail == b->size) b = memory::ensure_room(node, b->size);
        int64_t got = in.read(b->data() + b->tail, b->size - b->tail);
        if (got < 0) error::raise(error::ERR_ACCESS_CANNOT_OPEN, file);
        if (got == 0) return;
        b->tail += uint32_t(got);
    }
}

// The bytes of a binary! (from its index) or of a string (its UTF-8 form from its index).
// text keeps the UTF-8 copy alive while the view is used.
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::string text;
};

void bytes_of(const Cell* v, Bytes& out) {
    if (type_of(v) == TYPE_BINARY) {
        SeriesBuf* b = buf(series_node(v));
        uint32_t head = series::clipped_head(v);
        out.data = b->data() + head;
        out.size = b->length() - head;
    } else {
        out.text = string::to_utf8(v);
        out.data = reinterpret_cast<const uint8_t*>(out.text.data());
        out.size = out.text.size();
    }
}

void set_result_bits(uint32_t bits) {
    Cell r;
    set_integer(&r, int32_t(bits));
    stack::set_result(&r);
}

// A digest or HMAC result; a libcrypto failure raises internal/not-here with the method
// word, never a buffer of garbage.
void set_result_digest(const Bytes& data, int method, const Cell* method_word, const Cell* key) {
    int id = digest_id(method);
    uint8_t digest[checksum::MAX_DIGEST_SIZE];
    bool ok;
    if (key) {
        Bytes k;
        bytes_of(key, k);
        ok = checksum::hmac(data.data, data.size, k.data, k.size, id, digest);
    } else {
        ok = checksum::crypto_hash(data.data, data.size, id, digest);
    }
    if (!ok) error::raise(error::ERR_INTERNAL_NOT_HERE, method_word);
    Cell r;
    new_binary(&r, digest, checksum::digest_size(id));
    stack::set_result(&r);
}

void checksum_native(const int32_t* refs) {
    const Cell* data = arg(0);
    const Cell* method_word = arg(1);
    const Cell* spec = ref_arg(refs, 0);
    uint32_t dt = type_of(data);
    if (dt != TYPE_BINARY && !is_text_type(dt)) error::raise(error::ERR_SCRIPT_INVALID_ARG, data);
    if (dt == TYPE_FILE) {
        Cell* read = stack::push();
        set_none(read);
        read_file_bytes(read, data);
        data = read;
    }
    int method = type_of(method_word) == TYPE_WORD ? method_of(method_word) : -1;
    if (method < 0) error::raise(error::ERR_SCRIPT_INVALID_ARG, method_word);
    bool plain_sum = method == M_CRC32 || method == M_TCP || method == M_ADLER32;
    if (spec && plain_sum) series::raise_invalid_refine(SYM_WITH, method_word);
    // The hash-table method is reserved: no algorithm is defined for it.
    if (spec && type_of(spec) == TYPE_INTEGER) error::raise(error::ERR_INTERNAL_NOT_DONE);
    if (method == M_HASH) series::raise_invalid_refine(SYM_WITH, spec ? spec : method_word);
    if (spec && type_of(spec) != TYPE_BINARY && !is_text_type(type_of(spec))) raise_arg_type(SLOT_checksum, 3, type_of(spec));

    Bytes bytes;
    bytes_of(data, bytes);
    switch (method) {
        case M_CRC32: return set_result_bits(checksum::crc32(bytes.data, bytes.size));
        case M_TCP: return set_result_bits(checksum::tcp(bytes.data, bytes.size));
        case M_ADLER32: return set_result_bits(checksum::adler32(bytes.data, bytes.size));
        default: return set_result_digest(bytes, method, method_word, spec);
    }
}

}  // namespace

void register_checksum() { set<SLOT_checksum, checksum_native>(); }

}  // namespace zel::natives
