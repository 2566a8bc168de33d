// Checksums and message digests (see checksum.h).
#include "natives/checksum.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/shared_library.h"

namespace zel::checksum {

namespace {

// libcrypto is loaded on the first digest: linked, it would be mapped and relocated (some
// twenty thousand relocations) at every start of every script.
struct Crypto {
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_sha1) sha1 = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_sha384) sha384 = nullptr;
    decltype(&EVP_sha512) sha512 = nullptr;
    decltype(&EVP_Digest) digest = nullptr;
    decltype(&HMAC) hmac = nullptr;
    bool ready = false;

    Crypto() {
        void* lib = platform::load_library("libcrypto.so.3");
        if (!lib) return;
        bool found = true;
        auto get = [&](auto& fn, const char* name) { found = platform::bind_function(lib, fn, name) && found; };
        get(md5, "EVP_md5");
        get(sha1, "EVP_sha1");
        get(sha256, "EVP_sha256");
        get(sha384, "EVP_sha384");
        get(sha512, "EVP_sha512");
        get(digest, "EVP_Digest");
        get(hmac, "HMAC");
        ready = found;
    }
};

// The loaded library, or nullptr when it cannot be loaded (every digest then fails).
const Crypto* crypto() {
    static const Crypto lib;
    return lib.ready ? &lib : nullptr;
}

const EVP_MD* digest_of(const Crypto& c, int id) {
    switch (id) {
        case MD5: return c.md5();
        case SHA1: return c.sha1();
        case SHA256: return c.sha256();
        case SHA384: return c.sha384();
        case SHA512: return c.sha512();
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
    const Crypto* c = crypto();
    if (!c || digest_size(id) == 0) return false;
    const EVP_MD* md = digest_of(*c, id);
    unsigned int size = 0;
    return md && c->digest(bytes, length, out, &size, md, nullptr) == 1 && size == digest_size(id);
}

bool hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, int id, uint8_t* out) {
    const Crypto* c = crypto();
    if (!c || digest_size(id) == 0) return false;
    const EVP_MD* md = digest_of(*c, id);
    static const uint8_t no_key = 0;   // libcrypto reads a null key as "keep the previous key"
    unsigned int size = 0;
    if (!md || key_length > size_t(INT32_MAX)) return false;
    return c->hmac(md, key_length ? key : &no_key, int(key_length), bytes, length, out, &size) != nullptr &&
           size == digest_size(id);
}

}  // namespace zel::checksum
