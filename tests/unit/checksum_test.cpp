// The checksum algorithms at their edges: Adler-32 across its 16-byte steps and its reduction
// chunks with the largest byte values (the sums' worst case), CRC-32 over the same data, the
// TCP sum's carries, and the digest sizes.
#include <gtest/gtest.h>

#include <vector>

#include "natives/checksum.h"

using namespace zel;

namespace {

TEST(Checksum, Adler32AndCrc32AcrossChunkBoundariesOfFFBytes) {
    struct Case {
        size_t n;
        uint32_t adler, crc;
    } cases[] = {
        {15, 0x77970ef2, 0x09aab77f},    {16, 0x87880ff1, 0x3fb3c61a},     {17, 0x987810f0, 0x025d4abc},
        {3853, 0x3c52fec6, 0xa5ee49fc},  {3854, 0x3c26ffc5, 0x4bae507e},   {3855, 0x3cf900d3, 0x48f6f26b},
        {7708, 0xd2a9ff98, 0x6c98a658},  {100000, 0x149a302c, 0x68c6cec4},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data(c.n, 0xFF);
        EXPECT_EQ(checksum::adler32(data.data(), data.size()), c.adler) << c.n;
        EXPECT_EQ(checksum::crc32(data.data(), data.size()), c.crc) << c.n;
    }
}

TEST(Checksum, TcpSumFoldsItsCarries) {
    // RFC 1071's example words, and data whose sum carries many times.
    const uint8_t example[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(checksum::tcp(example, sizeof example), 0x220Du);
    std::vector<uint8_t> ones(100000, 0xFF);
    EXPECT_EQ(checksum::tcp(ones.data(), ones.size()), 0u);
    const uint8_t odd[] = {0x01};
    EXPECT_EQ(checksum::tcp(odd, 1), 0xFEFFu);
    EXPECT_EQ(checksum::tcp(nullptr, 0), 0xFFFFu);
}

TEST(Checksum, DigestsHaveTheirSizesAndRefuseOtherIds) {
    uint8_t out[checksum::MAX_DIGEST_SIZE];
    const uint8_t abc[] = {'a', 'b', 'c'};
    for (int id : {checksum::MD5, checksum::SHA1, checksum::SHA256, checksum::SHA384, checksum::SHA512}) {
        EXPECT_TRUE(checksum::crypto_hash(abc, 3, id, out)) << id;
        EXPECT_TRUE(checksum::hmac(abc, 3, abc, 0, id, out)) << id;
    }
    EXPECT_EQ(checksum::digest_size(checksum::MD5), 16u);
    EXPECT_EQ(checksum::digest_size(checksum::SHA384), 48u);
    EXPECT_FALSE(checksum::crypto_hash(abc, 3, checksum::CRC32, out));
    EXPECT_FALSE(checksum::hmac(abc, 3, abc, 3, 7, out));
    // SHA-256 of "abc" (FIPS 180-4 example): first and last bytes.
    ASSERT_TRUE(checksum::crypto_hash(abc, 3, checksum::SHA256, out));
    EXPECT_EQ(out[0], 0xBA);
    EXPECT_EQ(out[31], 0xAD);
}

}  // namespace
