// Checksums and message digests (see checksum.h).
#include "natives/checksum.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace zel::checksum {

namespace {

const EVP_MD* digest_of(int id) {
    switch (id) {
        case MD5: return EVP_md5();
        case SHA1: return EVP_sha1();
        case SHA256: return EVP_sha256();
        case SHA384: return EVP_sha384();
        case SHA512: return EVP_sha512();
        default: return nullptr;
    }
}

}  // namespace

uint32_t tcp(const uint8_t* bytes, size_t length) {
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += uint32_t(bytes[i]) << 8 | bytes[i + 1];
    if (i < length) sum += uint32_t(bytes[i]) << 8;
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return ~uint32_t(sum) & 0xFFFF;
}

size_t digest_size(int id) {
    switch (id) {
        case MD5: return 16;
        case SHA1: return 20;
        case SHA256: return 32;
        case SHA384: return 48;
        case SHA512: return 64;
        default: return 0;
    }
}

bool crypto_hash(const uint8_t* bytes, size_t length, int id, uint8_t* out) {
    const EVP_MD* md = digest_of(id);
    unsigned int size = 0;
    return md && EVP_Digest(bytes, length, out, &size, md, nullptr) == 1 && size == digest_size(id);
}

bool hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, int id, uint8_t* out) {
    const EVP_MD* md = digest_of(id);
    static const uint8_t no_key = 0;   // libcrypto reads a null key as "keep the previous key"
    unsigned int size = 0;
    if (!md || key_length > size_t(INT32_MAX)) return false;
    return HMAC(md, key_length ? key : &no_key, int(key_length), bytes, length, out, &size) != nullptr &&
           size == digest_size(id);
}

}  // namespace zel::checksum
