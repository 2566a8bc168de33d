// The file services: listings (sorted, directories marked), partial reads and seeks, writes
// that report every failure, and delete that tells files from directories.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"

using namespace zel;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/zel-files-unit-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& text) {
    platform::OutputFile out(path, platform::OutputFile::Mode::TRUNCATE);
    ASSERT_TRUE(out.is_open());
    ASSERT_TRUE(out.write_all(text.data(), text.size()));
    ASSERT_TRUE(out.close());
}

std::string read_file(const std::string& path) {
    platform::InputFile in(path);
    std::string s(1024, '\0');
    int64_t n = in.read_fully(reinterpret_cast<uint8_t*>(s.data()), s.size());
    s.resize(n < 0 ? 0 : size_t(n));
    return s;
}

TEST(PlatformFiles, ListingsAreSortedByBytesWithDirectoriesMarked) {
    TempDir t;
    write_file(t / "b", "");
    write_file(t / "B", "");
    write_file(t / "a.txt", "");
    ASSERT_TRUE(platform::make_dir(t / "dir"));
    ASSERT_TRUE(platform::make_dir(t / "Z"));
    ASSERT_EQ(0, symlink((t / "dir").c_str(), (t / "link").c_str()));
    auto names = platform::list_dir(t.path);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ((std::vector<std::string>{"B", "Z/", "a.txt", "b", "dir/", "link/"}), *names);
    EXPECT_FALSE(platform::list_dir(t / "missing").has_value());
    EXPECT_FALSE(platform::list_dir(t / "b").has_value());
}

TEST(PlatformFiles, WriteModesTruncateAppendAndKeep) {
    TempDir t;
    std::string f = t / "f";
    write_file(f, "abcdef");
    {
        platform::OutputFile out(f, platform::OutputFile::Mode::KEEP);
        ASSERT_TRUE(out.seek(2));
        ASSERT_TRUE(out.write_all("XY", 2));
    }
    EXPECT_EQ("abXYef", read_file(f));
    {
        platform::OutputFile out(f, platform::OutputFile::Mode::APPEND);
        ASSERT_TRUE(out.write_all("!", 1));
    }
    EXPECT_EQ("abXYef!", read_file(f));
    write_file(f, "z");
    EXPECT_EQ("z", read_file(f));
}

TEST(PlatformFiles, FailedWritesAreReported) {
    TempDir t;
    EXPECT_FALSE(platform::OutputFile(t / "no/such/dir", platform::OutputFile::Mode::TRUNCATE).is_open());
    EXPECT_FALSE(platform::OutputFile(t.path, platform::OutputFile::Mode::TRUNCATE).is_open());
    EXPECT_FALSE(platform::OutputFile(std::string("a\0b", 3), platform::OutputFile::Mode::TRUNCATE).is_open());
    if (access("/dev/full", W_OK) == 0) {
        platform::OutputFile full("/dev/full", platform::OutputFile::Mode::KEEP);
        ASSERT_TRUE(full.is_open());
        std::string big(100000, 'x');
        EXPECT_FALSE(full.write_all(big.data(), big.size()));
    }
}

TEST(PlatformFiles, ReadsFromAnOffsetAndToTheEnd) {
    TempDir t;
    write_file(t / "f", "0123456789");
    platform::InputFile in(t / "f");
    ASSERT_TRUE(in.is_open());
    EXPECT_EQ(10u, in.size_hint());
    ASSERT_TRUE(in.seek(7));
    uint8_t buf[16];
    EXPECT_EQ(3, in.read_fully(buf, sizeof buf));
    EXPECT_EQ(0, in.read_fully(buf, sizeof buf));
    EXPECT_FALSE(platform::InputFile(t.path).is_open());
    EXPECT_FALSE(platform::InputFile(t / "missing").is_open());
}

TEST(PlatformFiles, DeleteTellsFilesFromDirectories) {
    TempDir t;
    write_file(t / "f", "x");
    ASSERT_TRUE(platform::make_dir(t / "d"));
    EXPECT_FALSE(platform::make_dir(t / "d"));
    EXPECT_FALSE(platform::delete_file(t / "d"));
    EXPECT_FALSE(platform::delete_dir(t / "f"));
    EXPECT_TRUE(platform::delete_file(t / "f"));
    EXPECT_FALSE(platform::delete_file(t / "f"));
    EXPECT_TRUE(platform::delete_dir(t / "d"));
    EXPECT_FALSE(platform::path_info(t / "d").has_value());
}

TEST(PlatformFiles, PathInfoGivesSizeDirectoryAndTime) {
    TempDir t;
    write_file(t / "f", "12345");
    auto info = platform::path_info(t / "f");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->is_dir);
    EXPECT_EQ(5u, info->size);
    EXPECT_LE(std::abs(info->modified_seconds - int64_t(time(nullptr))), 60);
    EXPECT_TRUE(platform::path_info(t.path)->is_dir);
    EXPECT_TRUE(platform::rename_path(t / "f", t / "g"));
    EXPECT_FALSE(platform::rename_path(t / "f", t / "h"));
    EXPECT_EQ("12345", read_file(t / "g"));
}

}  // namespace

// Reads large enough to be cut into slices read at once: every byte lands in its place,
// from an offset that is no multiple of a slice, and the position ends after the bytes read
// (so that the next read continues there).
TEST(PlatformFiles, LargeReadsKeepEveryByteInPlace) {
    TempDir t;
    std::string text(size_t(41) << 20, '\0');
    uint32_t x = 12345;
    for (char& c : text) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    write_file(t / "big", text);
    struct Case {
        uint64_t seek;
        size_t ask;
    };
    for (Case c : {Case{0, text.size()}, Case{4097, text.size()}, Case{3, size_t(35) << 20}}) {
        platform::InputFile in(t / "big");
        ASSERT_TRUE(in.seek(c.seek));
        std::string got(c.ask, '\0');
        int64_t n = in.read_fully(reinterpret_cast<uint8_t*>(got.data()), got.size());
        size_t expected = std::min(c.ask, text.size() - size_t(c.seek));
        ASSERT_EQ(int64_t(expected), n) << "from " << c.seek;
        EXPECT_TRUE(got.compare(0, expected, text, size_t(c.seek), expected) == 0) << "from " << c.seek;
        uint8_t next[4];
        int64_t rest = in.read_fully(next, sizeof next);
        EXPECT_EQ(int64_t(std::min<size_t>(4, text.size() - size_t(c.seek) - expected)), rest) << "from " << c.seek;
        if (rest > 0) {
            EXPECT_EQ(text[size_t(c.seek) + expected], char(next[0]));
        }
    }
}
