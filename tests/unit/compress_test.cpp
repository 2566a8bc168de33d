// The deflate compressor, the decoder and the zlib and gzip framings, against zlib as an
// independent implementation in both directions; the format's edge cases; and the start-up
// LZ decoder against its build-time encoder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/compress.h"
#include "io/startup_lz.h"
#include "natives/checksum_sums.h"
#include "tools/startup_lz_encoder.h"

using namespace zel;
using Bytes = std::vector<uint8_t>;

namespace {

// ---- data ----

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 r(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(r());
    return b;
}

// Log-like lines with random fields, now and then followed by raw random bytes.
Bytes mixed_text(size_t n, uint32_t seed) {
    static const char* words[] = {"alice", "bob", "login", "logout", "read", "write", "INFO", "WARN", "/srv/data/"};
    std::mt19937 r(seed);
    std::string s;
    while (s.size() < n) {
        s += "2024-01-" + std::to_string(r() % 28 + 10) + " " + words[r() % 9] + " user=" + words[r() % 9] +
             " id=" + std::to_string(r() % 1000000) + " bytes=" + std::to_string(r() % 100000) + "\n";
        if (r() % 8 == 0)
            for (int k = 0; k < 48; k++) s += char(r());
    }
    s.resize(n);
    return Bytes(s.begin(), s.end());
}

Bytes runs(size_t n, uint32_t seed) {
    std::mt19937 r(seed);
    Bytes b;
    while (b.size() < n) b.insert(b.end(), r() % 600 + 1, uint8_t(r() % 4));
    b.resize(n);
    return b;
}

struct Sample {
    const char* name;
    Bytes data;
};

std::vector<Sample> samples() {
    return {
        {"empty", {}},
        {"one byte", {42}},
        {"two bytes", {1, 2}},
        {"short text", Bytes{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c', 'd'}},
        {"zeros 70000", Bytes(70000, 0)},
        {"random 100000", random_bytes(100000, 1)},
        {"mixed 300000", mixed_text(300000, 2)},
        {"runs 200000", runs(200000, 3)},
        {"random small alphabet", [] { Bytes b = random_bytes(50000, 4); for (auto& x : b) x &= 3; return b; }()},
        {"periodic", [] { Bytes b(100000); for (size_t i = 0; i < b.size(); i++) b[i] = uint8_t(i % 251); return b; }()},
    };
}

// ---- ours ----

Bytes ours_encode(int (*encode)(uint8_t*, size_t*, const uint8_t*, size_t), const Bytes& in) {
    Bytes out(compress::deflate_bound(in.size()) + 18);
    size_t len = out.size();
    EXPECT_EQ(encode(out.data(), &len, in.data(), in.size()), compress::OK);
    out.resize(len);
    return out;
}

int raw_deflate(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    return compress::deflate(out, len, in, n) ? compress::TOO_SMALL : compress::OK;
}

int ours_decode(int (*decode)(uint8_t*, size_t*, const uint8_t*, size_t), const Bytes& in, Bytes* out) {
    size_t len = 0;
    int r = decode(nullptr, &len, in.data(), in.size());
    if (r != compress::TOO_SMALL && r != compress::OK) return r;
    out->assign(len, 0);
    len = out->size();
    r = decode(out->data(), &len, in.data(), in.size());
    out->resize(len);
    return r;
}

// ---- zlib: window bits -15 raw, 15 zlib, 31 gzip ----

Bytes zlib_encode(const Bytes& in, int window_bits, int level, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, in.size()) + 64);
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool zlib_decode(const Bytes& in, int window_bits, size_t expected, Bytes* out) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, window_bits), Z_OK);
    out->assign(expected + 16, 0);
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out->data();
    z.avail_out = uInt(out->size());
    int r = inflate(&z, Z_FINISH);
    out->resize(z.total_out);
    bool all_input = z.avail_in == 0;
    inflateEnd(&z);
    return r == Z_STREAM_END && all_input;
}

struct FramingCase {
    const char* name;
    int window_bits;
    int (*encode)(uint8_t*, size_t*, const uint8_t*, size_t);
    int (*decode)(uint8_t*, size_t*, const uint8_t*, size_t);
};
const FramingCase FRAMINGS[] = {
    {"deflate", -15, raw_deflate, compress::inflate},
    {"zlib", 15, compress::zlib_encode, compress::zlib_decode},
    {"gzip", 31, compress::gzip_encode, compress::gzip_decode},
};

TEST(Compress, OurStreamsInflateWithZlib) {
    for (const auto& f : FRAMINGS) {
        for (const auto& s : samples()) {
            SCOPED_TRACE(std::string(f.name) + ": " + s.name);
            Bytes packed = ours_encode(f.encode, s.data), back;
            ASSERT_TRUE(zlib_decode(packed, f.window_bits, s.data.size(), &back));
            EXPECT_EQ(back, s.data);
        }
    }
}

TEST(Compress, ZlibStreamsInflateWithOurs) {
    const int levels[] = {0, 1, 6, 9};
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const auto& f : FRAMINGS) {
        for (const auto& s : samples()) {
            for (int level : levels) {
                for (int strategy : strategies) {
                    SCOPED_TRACE(std::string(f.name) + ": " + s.name + " level " + std::to_string(level) +
                                 " strategy " + std::to_string(strategy));
                    Bytes packed = zlib_encode(s.data, f.window_bits, level, strategy), back;
                    ASSERT_EQ(ours_decode(f.decode, packed, &back), compress::OK);
                    EXPECT_EQ(back, s.data);
                }
            }
        }
    }
}

TEST(Compress, OurRoundTripOverRandomSizes) {
    std::mt19937 r(7);
    for (int i = 0; i < 60; i++) {
        size_t n = r() % 70000;
        Bytes data = i % 3 == 0 ? random_bytes(n, r()) : i % 3 == 1 ? mixed_text(n, r()) : runs(n, r());
        for (const auto& f : FRAMINGS) {
            Bytes back;
            ASSERT_EQ(ours_decode(f.decode, ours_encode(f.encode, data), &back), compress::OK);
            ASSERT_EQ(back, data);
        }
    }
}

// The compressor makes the choices of zlib's level 6, so its output is about as small.
TEST(Compress, SizeCloseToZlibLevel6) {
    Bytes data = mixed_text(2000000, 11);
    size_t ours = ours_encode(compress::zlib_encode, data).size();
    size_t theirs = zlib_encode(data, 15, 6).size();
    EXPECT_LE(double(ours), double(theirs) * 1.02);
}

// ---- the compressor's edge cases ----

TEST(Deflate, EmptyInputIsOneFixedBlockWithOnlyEndOfBlock) {
    Bytes out = ours_encode(raw_deflate, {});
    EXPECT_EQ(out, (Bytes{0x03, 0x00}));
}

TEST(Deflate, IncompressibleInputIsStoredOneBlockPerSymbolBuffer) {
    Bytes data = random_bytes(40000, 5);
    Bytes out = ours_encode(raw_deflate, data);
    // Stored blocks only, each closed by a full buffer of 16,384 symbols (a few chance
    // matches make a block a little longer), the last one shorter.
    size_t pos = 0, total = 0;
    std::vector<size_t> lengths;
    for (bool final = false; !final;) {
        ASSERT_LT(pos + 5, out.size());
        final = out[pos] & 1;
        ASSERT_EQ(out[pos] >> 1, 0) << "stored";
        size_t len = out[pos + 1] | out[pos + 2] << 8;
        EXPECT_EQ(out[pos + 3] | out[pos + 4] << 8, ~len & 0xFFFF);
        lengths.push_back(len);
        total += len;
        pos += 5 + len;
    }
    EXPECT_EQ(pos, out.size());
    EXPECT_EQ(total, data.size());
    ASSERT_EQ(lengths.size(), 3u);
    EXPECT_GE(lengths[0], 16384u);
    EXPECT_LT(lengths[0], 16384u + 64);
    EXPECT_GE(lengths[1], 16384u);
}

TEST(Deflate, RepeatedByteBecomesMatchesOfLength258) {
    Bytes data(258 * 100 + 1, 'x');
    Bytes out = ours_encode(raw_deflate, data);
    EXPECT_LT(out.size(), 40u);
    Bytes back;
    ASSERT_TRUE(zlib_decode(out, -15, data.size(), &back));
    EXPECT_EQ(back, data);
}

TEST(Deflate, BufferOneByteShortGivesTheExactSize) {
    Bytes data = mixed_text(10000, 6);
    Bytes full = ours_encode(raw_deflate, data);
    Bytes out(full.size() - 1);
    size_t len = out.size();
    EXPECT_TRUE(compress::deflate(out.data(), &len, data.data(), data.size()));
    EXPECT_EQ(len, full.size());
    for (const auto& f : FRAMINGS) {   // the framings, too short for even their frame
        len = 3;
        Bytes small(3);
        EXPECT_EQ(f.encode(small.data(), &len, data.data(), data.size()), compress::TOO_SMALL) << f.name;
        EXPECT_EQ(len, ours_encode(f.encode, data).size()) << f.name;
    }
}

TEST(Deflate, GzipOfGzipDataWrapsItAgain) {
    Bytes data = ours_encode(compress::gzip_encode, mixed_text(1000, 8));
    Bytes twice = ours_encode(compress::gzip_encode, data), back;
    EXPECT_NE(twice, data);
    ASSERT_EQ(ours_decode(compress::gzip_decode, twice, &back), compress::OK);
    EXPECT_EQ(back, data);
}

// ---- the decoder's edge cases ----

int inflate_bytes(const Bytes& in, Bytes* out) { return ours_decode(compress::inflate, in, out); }

TEST(Inflate, BadStreamsGiveTheirCodes) {
    struct Case {
        const char* name;
        Bytes data;
        int code;
    };
    const Case cases[] = {
        {"empty input", {}, compress::BAD_DATA},
        {"block type 3", {0x07}, compress::BAD_BLOCK_TYPE},
        {"stored block past the input", {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b'}, compress::STORED_PAST_INPUT},
        {"stored block with a wrong NLEN", {0x01, 0x01, 0x00, 0x00, 0x00, 'a'}, compress::BAD_DATA},
        // A fixed block whose first symbol is a length with distance 1.
        {"distance before the start", {0x03, 0x02, 0x00}, compress::BAD_DISTANCE},
        {"a non-final block, then nothing", {0x00, 0x00, 0x00, 0xFF, 0xFF}, compress::BAD_DATA},
        {"over-subscribed code lengths", {0x05, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, compress::BAD_DATA},
    };
    for (const auto& c : cases) {
        Bytes out;
        EXPECT_EQ(inflate_bytes(c.data, &out), c.code) << c.name;
    }
}

TEST(Inflate, StoredBlockDecodes) {
    Bytes out;
    ASSERT_EQ(inflate_bytes({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, &out), compress::OK);
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c'}));
}

TEST(Inflate, EveryTruncationIsBadData) {
    Bytes data = mixed_text(20000, 9);
    for (const auto& f : FRAMINGS) {
        Bytes packed = ours_encode(f.encode, data);
        for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 16) {
            Bytes part(packed.begin(), packed.begin() + long(cut)), out;
            EXPECT_NE(ours_decode(f.decode, part, &out), compress::OK) << f.name << " cut at " << cut;
        }
    }
}

TEST(Inflate, TooSmallReportsTheFullSize) {
    Bytes data = mixed_text(50000, 10);
    Bytes packed = ours_encode(raw_deflate, data);
    Bytes out(1000);
    size_t len = out.size();
    EXPECT_EQ(compress::inflate(out.data(), &len, packed.data(), packed.size()), compress::TOO_SMALL);
    EXPECT_EQ(len, data.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
}

TEST(Inflate, ZlibFramingFaults) {
    Bytes good = ours_encode(compress::zlib_encode, mixed_text(3000, 12)), out;
    Bytes dict = good;
    dict[1] = 0x20;
    dict[1] += uint8_t(31 - (dict[0] * 256 + dict[1]) % 31);   // valid check bits, FDICT set
    EXPECT_EQ(ours_decode(compress::zlib_decode, dict, &out), compress::BAD_DATA);
    Bytes sum = good;
    sum.back() ^= 1;
    EXPECT_EQ(ours_decode(compress::zlib_decode, sum, &out), compress::BAD_DATA);
    Bytes trailing = good;
    trailing.insert(trailing.end() - 4, 0);
    EXPECT_EQ(ours_decode(compress::zlib_decode, trailing, &out), compress::BAD_DATA);
    EXPECT_EQ(ours_decode(compress::zlib_decode, Bytes{0x78, 0x01, 0x03}, &out), compress::BAD_DATA);
}

// A gzip member with a name, a comment, an extra field and a header CRC.
Bytes gzip_with_header_fields(const Bytes& data) {
    Bytes plain = ours_encode(compress::gzip_encode, data);
    Bytes h = {0x1F, 0x8B, 8, 0x1E, 0, 0, 0, 0, 0, 3, 2, 0, 'x', 'y', 'n', 'a', 'm', 'e', 0, 'h', 'i', 0};
    uint32_t crc = checksum::crc32(h.data(), h.size());
    h.push_back(uint8_t(crc));
    h.push_back(uint8_t(crc >> 8));
    h.insert(h.end(), plain.begin() + 10, plain.end());
    return h;
}

TEST(Inflate, GzipHeaderFieldsAndFaults) {
    Bytes data = mixed_text(5000, 13), out;
    Bytes full = gzip_with_header_fields(data);
    ASSERT_EQ(ours_decode(compress::gzip_decode, full, &out), compress::OK);
    EXPECT_EQ(out, data);
    ASSERT_TRUE(zlib_decode(full, 31, data.size(), &out));   // the test's own header is sound
    Bytes bad_hcrc = full;
    bad_hcrc[22] ^= 1;
    EXPECT_EQ(ours_decode(compress::gzip_decode, bad_hcrc, &out), compress::BAD_DATA);
    Bytes reserved = full;
    reserved[3] |= 0x20;
    EXPECT_EQ(ours_decode(compress::gzip_decode, reserved, &out), compress::BAD_DATA);
    Bytes isize = ours_encode(compress::gzip_encode, data);
    isize[isize.size() - 4] ^= 1;
    EXPECT_EQ(ours_decode(compress::gzip_decode, isize, &out), compress::BAD_DATA);
    Bytes crc = ours_encode(compress::gzip_encode, data);
    crc[crc.size() - 8] ^= 1;
    EXPECT_EQ(ours_decode(compress::gzip_decode, crc, &out), compress::BAD_DATA);
    // A forged ISIZE far beyond what the data could hold is refused before any allocation.
    Bytes huge = ours_encode(compress::gzip_encode, Bytes{1, 2, 3});
    huge[huge.size() - 1] = 0x7F;
    size_t len = 0;
    EXPECT_EQ(compress::gzip_decode(nullptr, &len, huge.data(), huge.size()), compress::BAD_DATA);
}

// Mutated streams never crash or read out of bounds (the sanitizer build watches), and a
// decode that succeeds agrees with zlib's.
TEST(Inflate, MutatedStreamsAgreeWithZlib) {
    std::mt19937 r(14);
    Bytes data = mixed_text(8000, 15);
    Bytes packed = zlib_encode(data, -15, 6);
    for (int i = 0; i < 3000; i++) {
        Bytes m = packed;
        for (int k = 0, flips = 1 + int(r() % 4); k < flips; k++) m[r() % m.size()] ^= uint8_t(1u << (r() % 8));
        Bytes ours, theirs;
        int code = ours_decode(compress::inflate, m, &ours);
        bool z = zlib_decode(m, -15, 1 << 20, &theirs);
        if (code == compress::OK && z) {
            EXPECT_EQ(ours, theirs);
        }
    }
}

// ---- start-up LZ ----

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// A block of the given chunks (each its output size and its stream bytes).
Bytes lz_block(uint32_t size, const std::vector<std::pair<uint32_t, Bytes>>& chunks) {
    Bytes payload;
    for (const auto& [n, bits] : chunks) {
        Bytes h = le32(n);
        payload.insert(payload.end(), h.begin(), h.end());
        payload.insert(payload.end(), bits.begin(), bits.end());
    }
    Bytes b = le32(uint32_t(payload.size())), s = le32(size);
    b.insert(b.end(), s.begin(), s.end());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bool lz_decode(const Bytes& block, Bytes* out) {
    size_t n = 0;
    uint8_t* p = startup_lz::decompress(block.data(), block.size(), &n);
    if (!p) return false;
    out->assign(p, p + n);
    startup_lz::free(p);
    return true;
}

TEST(StartupLz, RoundTripsThroughTheBuildEncoder) {
    for (const auto& s : samples()) {
        Bytes block = startup_lz_encoder::encode(s.data.data(), s.data.size()), out;
        ASSERT_TRUE(lz_decode(block, &out)) << s.name;
        EXPECT_EQ(out, s.data) << s.name;
    }
    Bytes big = mixed_text(2500000, 16), out;   // three chunks
    ASSERT_TRUE(lz_decode(startup_lz_encoder::encode(big.data(), big.size()), &out));
    EXPECT_EQ(out, big);
}

TEST(StartupLz, FormatEdgeCases) {
    Bytes out;
    // One literal 'A': flag 0, then 8 bits.
    ASSERT_TRUE(lz_decode(lz_block(1, {{1, {0x82, 0x00}}}), &out));
    EXPECT_EQ(out, Bytes{'A'});
    // 'A', then a match of L = 0 (prefix 1, bits 00), D = 0 (k bits 0000, 3 bits 000): four A.
    // Bits: 0, 10000010, 1, 1, 00, 0000, 000.
    ASSERT_TRUE(lz_decode(lz_block(4, {{4, {0x82, 0x06, 0x00}}}), &out));
    EXPECT_EQ(out, Bytes(4, 'A'));
    // The same match in a chunk of its own reaches into the previous chunk: corrupt.
    EXPECT_FALSE(lz_decode(lz_block(4, {{1, {0x82}}, {3, {0x03, 0x00}}}), &out));
    // A payload of 0 bytes gives an empty buffer.
    ASSERT_TRUE(lz_decode(lz_block(0, {}), &out));
    EXPECT_TRUE(out.empty());
}

TEST(StartupLz, CorruptBlocksAreRefused) {
    Bytes good = startup_lz_encoder::encode(reinterpret_cast<const uint8_t*>("abcabcabcabcxyz"), 15), out;
    ASSERT_TRUE(lz_decode(good, &out));
    struct Case {
        const char* name;
        Bytes block;
    };
    Bytes bigger_payload = good, huge_size = good, chunk_zero = good, short_size = good, truncated = good;
    bigger_payload[0]++;
    huge_size[7] = 0x7F;
    chunk_zero[8] = 0;
    short_size[4] = 5;   // chunks would produce more than the block's size
    truncated.pop_back();
    truncated[0]--;
    const Case cases[] = {{"header only", Bytes(4, 0)},
                          {"payload past the block", bigger_payload},
                          {"uncompressed size beyond the payload", huge_size},
                          {"chunk size 0", chunk_zero},
                          {"more output than the size", short_size},
                          {"stream past the payload", truncated},
                          {"chunk too large", lz_block(2000000, {{2000000, {0x00}}})},
                          // A bad chunk size as the payload's last four bytes, with nothing after it.
                          {"chunk header alone, larger than the size", lz_block(0, {{3072, {}}})},
                          {"chunk header alone, size 0", lz_block(1, {{0, {}}})}};
    for (const auto& c : cases) EXPECT_FALSE(lz_decode(c.block, &out)) << c.name;
}

}  // namespace
