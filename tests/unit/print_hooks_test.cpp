// The print and output hook lists: registration order, growth by five, removal of the first
// occurrence, calls over a copy of the list, and standard output while no print hook is set.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/print_hooks.h"

using namespace zel;

namespace {

// What the hooks saw, in call order: a tag, the text and the flag.
std::vector<std::string> calls;

template <int N>
void print_hook(const char* text, long length, int new_line) {
    calls.push_back("p" + std::to_string(N) + ":" + std::string(text, size_t(length)) + ":" + std::to_string(new_line));
}

template <int N>
void output_hook(const char* text, long length, int new_line) {
    calls.push_back("o" + std::to_string(N) + ":" + std::string(text, size_t(length)) + ":" + std::to_string(new_line));
}

// A hook that removes itself and adds another while it runs.
void self_removing(const char* text, long length, int new_line) {
    calls.push_back("self");
    print_hooks::remove(self_removing, nullptr);
    print_hooks::add(print_hook<9>, nullptr);
}

// Runs fn with standard output sent to a pipe; returns what was written.
template <typename Fn>
std::string capture_stdout(Fn fn) {
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0) return "(pipe failed)";
    int saved = dup(1);
    dup2(fds[1], 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    return out;
}

class PrintHooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        print_hooks::init();
        calls.clear();
    }
    // Later tests print through standard output again.
    void TearDown() override { print_hooks::init(); }
};

TEST_F(PrintHooksTest, InitEmptiesBothListsAtCapacityFive) {
    EXPECT_TRUE(print_hooks::initialised());
    EXPECT_EQ(print_hooks::print_count(), 0u);
    EXPECT_EQ(print_hooks::output_count(), 0u);
    EXPECT_EQ(print_hooks::print_capacity(), 5u);
    EXPECT_EQ(print_hooks::output_capacity(), 5u);
}

TEST_F(PrintHooksTest, SixHooksGrowTheListToTenAndAreCalledInOrder) {
    print_hooks::add(print_hook<1>, nullptr);
    print_hooks::add(print_hook<2>, nullptr);
    print_hooks::add(print_hook<3>, nullptr);
    print_hooks::add(print_hook<4>, nullptr);
    print_hooks::add(print_hook<5>, nullptr);
    EXPECT_EQ(print_hooks::print_capacity(), 5u);
    print_hooks::add(print_hook<6>, nullptr);
    EXPECT_EQ(print_hooks::print_capacity(), 10u);
    EXPECT_EQ(print_hooks::output_capacity(), 5u);
    print_hooks::call_print("hi", true);
    EXPECT_EQ(calls, (std::vector<std::string>{"p1:hi:1", "p2:hi:1", "p3:hi:1", "p4:hi:1", "p5:hi:1", "p6:hi:1"}));
}

TEST_F(PrintHooksTest, ANullHookLeavesItsListAlone) {
    print_hooks::add(nullptr, output_hook<1>);
    EXPECT_EQ(print_hooks::print_count(), 0u);
    EXPECT_EQ(print_hooks::output_count(), 1u);
    print_hooks::call_output("raw", false);
    print_hooks::call_output("line", true);
    EXPECT_EQ(calls, (std::vector<std::string>{"o1:raw:0", "o1:line:1"}));
}

TEST_F(PrintHooksTest, RemovingTakesOnlyTheFirstOccurrence) {
    print_hooks::add(print_hook<1>, output_hook<1>);
    print_hooks::add(print_hook<2>, nullptr);
    print_hooks::add(print_hook<1>, output_hook<1>);
    print_hooks::remove(print_hook<1>, output_hook<1>);
    EXPECT_EQ(print_hooks::print_count(), 2u);
    EXPECT_EQ(print_hooks::output_count(), 1u);
    print_hooks::call_print("x", false);
    EXPECT_EQ(calls, (std::vector<std::string>{"p2:x:0", "p1:x:0"}));
    // Removing what is absent, or null, changes nothing.
    print_hooks::remove(print_hook<7>, nullptr);
    print_hooks::remove(nullptr, nullptr);
    EXPECT_EQ(print_hooks::print_count(), 2u);
}

TEST_F(PrintHooksTest, AHookMayChangeTheListWhileItRuns) {
    print_hooks::add(self_removing, nullptr);
    print_hooks::add(print_hook<1>, nullptr);
    print_hooks::call_print("a", true);
    // The call that was under way used the list as it was at entry.
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "p1:a:1"}));
    calls.clear();
    print_hooks::call_print("b", true);
    EXPECT_EQ(calls, (std::vector<std::string>{"p1:b:1", "p9:b:1"}));
}

TEST_F(PrintHooksTest, WithoutPrintHooksTextGoesToStandardOutput) {
    std::string out = capture_stdout([] {
        print_hooks::call_print("line one", true);
        print_hooks::call_print("no end", false);
        print_hooks::call_output("output hooks only", false);   // no output hook: dropped
    });
    EXPECT_EQ(out, "line one\nno end");
    print_hooks::add(print_hook<1>, nullptr);
    out = capture_stdout([] { print_hooks::call_print("hooked", true); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(calls, (std::vector<std::string>{"p1:hooked:1"}));
}

TEST_F(PrintHooksTest, TextKeepsEmbeddedZeroBytesAndUtf8) {
    print_hooks::add(print_hook<1>, nullptr);
    std::string text("a\0b\xC3\xA9", 5);
    print_hooks::call_print(text, false);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "p1:" + text + ":0");
}

}  // namespace
