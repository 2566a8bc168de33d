// The Windows spelling of a file! (kept as a pure string function: the local path on this
// system is the file's own text) and the local path with and without the current directory.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/series/string.h"
#include "datatypes/series/url.h"
#include "platform/current_dir.h"
#include "test_support.h"

using namespace zel;

namespace {

using UrlTest = test::StackTest;

std::string windows_path(const std::string& file, bool full) {
    Cell f, out;
    string::from_utf8(&f, file, TYPE_FILE);
    string::init_cell(&out, 16);
    url::to_windows_path(&f, series_node(&out), full);
    return string::to_utf8(&out);
}

TEST_F(UrlTest, WindowsSpellingOfFiles) {
    struct Case { const char* file; const char* windows; };
    const Case cases[] = {
        {"/c/dir/f.txt", "c:\\dir\\f.txt"},
        {"/c/", "c:\\"},
        {"/c", "c:\\"},
        {"/", "\\"},
        {"//x", "\\x"},
        {"/srv/share/f", "\\\\srv\\share\\f"},
        {"dir/sub/", "dir\\sub\\"},
        {"", ""},
        {"é/ü", "é\\ü"},
    };
    for (const Case& c : cases) EXPECT_EQ(windows_path(c.file, false), c.windows) << c.file;
    // With full, only a relative file gets the current directory in front.
    std::string dir = platform::get_current_dir();
    EXPECT_EQ(windows_path("a/b", true), dir + "\\a\\b");
    EXPECT_EQ(windows_path("/c/x", true), "c:\\x");
}

TEST_F(UrlTest, LocalPaths) {
    Cell f;
    string::from_utf8(&f, "a b/c", TYPE_FILE);
    EXPECT_EQ(url::to_local_path(&f, false), "a b/c");
    std::string dir = platform::get_current_dir();
    EXPECT_EQ(url::to_local_path(&f, true), (dir == "/" ? std::string() : dir) + "/a b/c");
    string::from_utf8(&f, "/abs", TYPE_FILE);
    EXPECT_EQ(url::to_local_path(&f, true), "/abs");
}

}  // namespace
