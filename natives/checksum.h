// Checksums and message digests over bytes: the TCP ones'-complement sum (CRC-32 and
// Adler-32 are in checksum_sums.h), and MD5, SHA-1, SHA-256, SHA-384, SHA-512 with their HMAC
// (OpenSSL libcrypto). Nothing here touches Zel values or raises.
#pragma once
#include <cstddef>
#include <cstdint>

#include "natives/checksum_sums.h"

namespace zel::checksum {

// `checksum/digest-id`: the methods by id.
enum DigestId : int { TCP = 0, CRC32 = 1, MD5 = 2, SHA1 = 3, SHA256 = 4, SHA384 = 5, SHA512 = 6 };
// The largest digest (SHA-512).
constexpr size_t MAX_DIGEST_SIZE = 64;

// `checksum/tcp`: the 16-bit ones'-complement sum of big-endian 16-bit words; an odd final
// byte is padded as the high byte of a last word.
uint32_t tcp(const uint8_t* bytes, size_t length);

// `checksum/digest-size`: the size in bytes of a digest (0 for tcp and crc32).
size_t digest_size(int id);
// `checksum/crypto-hash`: the digest of the bytes into out (digest_size(id) bytes). False
// when id is not a digest or libcrypto fails (or cannot be loaded); out is then not to be used.
bool crypto_hash(const uint8_t* bytes, size_t length, int id, uint8_t* out);
// `checksum/hmac`: the HMAC (RFC 2104) of the bytes under the key into out
// (digest_size(id) bytes); false as for crypto_hash.
bool hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, int id, uint8_t* out);

}  // namespace zel::checksum
