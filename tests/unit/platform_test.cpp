// The platform services: sleep durations, the clock's date packing and time of day, the
// current directory and environment variables, and page memory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/current_dir.h"
#include "platform/environment.h"
#include "platform/os_memory.h"
#include "platform/sleep.h"

using namespace zel;

namespace {

// A range that does not start or end on a page (as a node frame's entries do): the whole pages
// inside it are given back and read as zero, the partial pages at its ends keep their bytes,
// and committing such a range leaves what it holds alone.
TEST(PlatformMemory, UnalignedRangesAreDiscardedByWholePagesOnly) {
    size_t page = platform::page_size();
    size_t size = 8 * page;
    auto* p = static_cast<unsigned char*>(platform::allocate_pages(size));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < size; i++) p[i] = 0x5A;
    platform::commit_pages(p + 8, 3 * page);
    EXPECT_EQ(p[8], 0x5A);
    EXPECT_EQ(p[3 * page], 0x5A);
    size_t from = page / 2, to = 6 * page + 8;   // whole pages 1 to 5 lie inside
    platform::discard_pages(p + from, to - from);
    for (size_t i = 0; i < size; i++) {
        bool inside = i >= page && i < 6 * page;
        ASSERT_EQ(p[i], inside ? 0 : 0x5A) << i;
    }
    platform::discard_pages(p + 16, page / 2);   // no whole page: nothing changes
    EXPECT_EQ(p[16], 0x5A);
    EXPECT_TRUE(platform::free_pages(p, size));
}

TEST(PlatformSleep, DurationsAreTruncatedMillisecondsOfAtLeastOne) {
    struct Case {
        double seconds;
        uint64_t ms;
    } cases[] = {
        {0.0, 1},        {0.0004, 1},     {0.0009999, 1},  {0.001, 1},   {0.0019, 1},
        {0.002, 2},      {1.5, 1500},     {-3.0, 1},       {2.9999, 2999},
        {3000000.0, 3000000000ull},        // beyond 32 bits of milliseconds
        {std::numeric_limits<double>::quiet_NaN(), 1},
        {-std::numeric_limits<double>::infinity(), 1},
        {std::numeric_limits<double>::infinity(), uint64_t(INT64_MAX)},
        {1e300, uint64_t(INT64_MAX)},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::sleep_duration_ms(c.seconds), c.ms) << c.seconds;
}

TEST(PlatformSleep, SleepsAtLeastTheDuration) {
    auto start = std::chrono::steady_clock::now();
    platform::sleep_ms(0.03);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 30);
    start = std::chrono::steady_clock::now();
    platform::sleep_ms(0.0);   // one millisecond, not zero
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(us, 1000);
}

// The 7-bit zone: sign in bit 6, hours in bits 2-5, quarter hours in bits 0-1.
struct Zone {
    uint32_t sign, hours, quarters;
};
Zone unpack(uint32_t z) { return {(z >> 6) & 1, (z >> 2) & 15, z & 3}; }

TEST(PlatformClock, ZonesPackSignHoursAndQuarterHours) {
    struct Case {
        int32_t minutes;
        Zone zone;
    } cases[] = {
        {5 * 60 + 30, {0, 5, 2}},     // +5:30
        {-(3 * 60 + 30), {1, 3, 2}},  // -3:30
        {-45, {1, 0, 3}},             // -0:45
        {0, {0, 0, 0}},
        {5 * 60 + 45, {0, 5, 3}},     // +5:45
        {-12 * 60, {1, 12, 0}},
        {14 * 60, {0, 14, 0}},
        {17 * 60, {0, 15, 3}},        // beyond the 4 hour bits: clamped to 15:45
    };
    for (const Case& c : cases) {
        Zone z = unpack(platform::pack_zone_minutes(c.minutes));
        EXPECT_EQ(z.sign, c.zone.sign) << c.minutes;
        EXPECT_EQ(z.hours, c.zone.hours) << c.minutes;
        EXPECT_EQ(z.quarters, c.zone.quarters) << c.minutes;
        EXPECT_LT(platform::pack_zone_minutes(c.minutes), 128u);
    }
}

TEST(PlatformClock, UtcDateHasZoneZeroAndTodaysFields) {
    uint32_t packed = platform::local_date_now(true);
    time_t now = time(nullptr);
    tm parts{};
    gmtime_r(&now, &parts);
    EXPECT_EQ(packed & 0x7F, 0u);
    EXPECT_EQ(int32_t(packed) >> 17, parts.tm_year + 1900);
    EXPECT_EQ((packed >> 12) & 15, uint32_t(parts.tm_mon + 1));
    // The day may have turned between the two readings only at midnight.
    uint32_t day = (packed >> 7) & 31;
    EXPECT_TRUE(day == uint32_t(parts.tm_mday) || parts.tm_hour == 0);
}

TEST(PlatformClock, LocalDateCarriesTheLocalZone) {
    // POSIX zone strings need no zone database: "IST-5:30" is 5:30 east of UTC.
    struct Case {
        const char* tz;
        int32_t minutes;
        Zone zone;
    } cases[] = {
        {"IST-5:30", 330, {0, 5, 2}},
        {"NST3:30", -210, {1, 3, 2}},
        {"XST0:45", -45, {1, 0, 3}},
        {"ODD-5:38", 345, {0, 5, 3}},   // not a multiple of 15 minutes: the nearest quarter
        {"ODD-5:37", 330, {0, 5, 2}},
        {"UTC0", 0, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        platform::ClockReading r = platform::read_clock(false, false);
        uint32_t packed = platform::local_date_now(false);
        uint32_t utc = platform::local_date_now(true);
        EXPECT_EQ(r.zone_minutes, c.minutes) << c.tz;
        Zone z = unpack(packed & 0x7F);
        EXPECT_EQ(z.sign, c.zone.sign) << c.tz;
        EXPECT_EQ(z.hours, c.zone.hours) << c.tz;
        EXPECT_EQ(z.quarters, c.zone.quarters) << c.tz;
        EXPECT_EQ(utc & 0x7F, 0u) << c.tz;   // with utc the zone is 0
    }
    unsetenv("TZ");
    tzset();
}

TEST(PlatformClock, TimeOfDayIsWholeSecondsUnlessPrecise) {
    double s = platform::utc_time_now(false);
    EXPECT_GE(s, 0.0);
    EXPECT_LE(s, 86399.0);
    EXPECT_EQ(s, std::floor(s));
    double p = platform::utc_time_now(true);
    EXPECT_GE(p, 0.0);
    EXPECT_LT(p, 86400.0);
    // The fraction counts whole steps of 100 ns.
    double steps = (p - std::floor(p)) * 1e7;
    EXPECT_NEAR(steps, std::round(steps), 1e-3);
}

TEST(PlatformCurrentDir, ChangesAndReadsBack) {
    std::string original = platform::get_current_dir();
    ASSERT_FALSE(original.empty());
    char tmpl[] = "/tmp/zel-platform-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    ASSERT_TRUE(platform::set_current_dir(dir));
    EXPECT_EQ(platform::get_current_dir(), dir);
    EXPECT_FALSE(platform::set_current_dir(dir + "/no-such-folder"));
    EXPECT_FALSE(platform::set_current_dir(std::string("bad\0name", 8)));
    EXPECT_FALSE(platform::set_current_dir(""));
    EXPECT_EQ(platform::get_current_dir(), dir);   // a refused change leaves it alone
    ASSERT_TRUE(platform::set_current_dir(original));
    rmdir(dir.c_str());
}

TEST(PlatformEnvironment, ReadsWritesRemovesAndLists) {
    const char* name = "ZEL_PLATFORM_TEST_VAR";
    platform::remove_env_var(name);
    EXPECT_FALSE(platform::read_env_var(name).has_value());
    ASSERT_TRUE(platform::write_env_var(name, "caf\xC3\xA9 = 1"));
    EXPECT_EQ(platform::read_env_var(name).value_or("?"), "caf\xC3\xA9 = 1");
    ASSERT_TRUE(platform::write_env_var(name, ""));
    EXPECT_EQ(platform::read_env_var(name).value_or("?"), "");   // set, but empty
    bool listed = false;
    for (const auto& [n, v] : platform::list_env_vars())
        if (n == name) listed = v.empty();
    EXPECT_TRUE(listed);
    EXPECT_TRUE(platform::remove_env_var(name));
    EXPECT_TRUE(platform::remove_env_var(name));   // removing an absent variable succeeds
    EXPECT_FALSE(platform::read_env_var(name).has_value());
}

TEST(PlatformEnvironment, RefusesNamesAndValuesTheSystemCannotHold) {
    const char* bad_names[] = {"", "A=B", "=X"};
    for (const char* n : bad_names) {
        EXPECT_FALSE(platform::write_env_var(n, "v")) << n;
        EXPECT_FALSE(platform::read_env_var(n).has_value()) << n;
        EXPECT_FALSE(platform::remove_env_var(n)) << n;
    }
    EXPECT_FALSE(platform::write_env_var(std::string("NUL\0NAME", 8), "v"));
    EXPECT_FALSE(platform::write_env_var("ZEL_PLATFORM_TEST_VAR", std::string("a\0b", 3)));
    EXPECT_FALSE(platform::read_env_var("ZEL_PLATFORM_TEST_VAR").has_value());
}

}  // namespace

namespace {

TEST(PlatformCall, CommandLinesSplitAtBlanksAndDoubleQuotesGroup) {
    using V = std::vector<std::string>;
    struct Case {
        const char* line;
        V words;
    } cases[] = {
        {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
        {"  echo\t\"a b\"  c ", {"echo", "a b", "c"}},
        {"say \"\"", {"say", ""}},
        {"a\"b c\"d e", {"ab cd", "e"}},
        {"", {}},
        {"   ", {}},
        {"x \"unclosed quote", {"x", "unclosed quote"}},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::split_command_line(c.line), c.words) << c.line;
}

}  // namespace
