// Process start on POSIX (see process.h).
#include "platform/process.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>


namespace zel::platform {

namespace {

constexpr size_t WANTED_STACK = size_t(64) << 20;   // 64 MB
constexpr size_t GUARD_MARGIN = size_t(4) << 20;    // room left for raising the overflow error

// Writes the run-time error report with async-signal-safe calls only, then exits.
[[noreturn]] void report_fault(int code, const char* message, void* address) {
    char text[160];
    unsigned long long a = reinterpret_cast<unsigned long long>(address);
    int n = std::snprintf(text, sizeof text, "*** Runtime Error %d: %s\n*** at: %016llXh\n", code, message, a);
    if (n > 0) {
        ssize_t w = ::write(2, text, size_t(n));
        (void)w;
    }
    _exit(code);
}

void on_fault(int sig, siginfo_t* info, void*) {
    if (sig == SIGSEGV) report_fault(1, "access violation", info->si_addr);
    if (sig == SIGFPE && info->si_code == FPE_INTDIV) report_fault(2, "integer divide by zero", info->si_addr);
    if (sig == SIGFPE) report_fault(3, "floating-point error", info->si_addr);
    if (sig == SIGILL) report_fault(4, "illegal instruction", info->si_addr);
    if (sig == SIGBUS) report_fault(5, "bus error", info->si_addr);
    report_fault(99, "unknown error", info->si_addr);
}

void install_fault_handlers() {
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa{};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGFPE, SIGILL, SIGBUS}) sigaction(sig, &sa, nullptr);
}

}  // namespace

void start_process() {
    signal(SIGPIPE, SIG_IGN);
    struct rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) == 0) {
        rlim_t want = WANTED_STACK;
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want) want = rl.rlim_max;
        if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
            rl.rlim_cur = want;
            setrlimit(RLIMIT_STACK, &rl);
        }
    }
#if !defined(__SANITIZE_ADDRESS__)
    // Under the sanitizers their own fault reports are more useful than ours.
    install_fault_handlers();
#endif
}

size_t native_stack_budget() {
    size_t usable = size_t(8) << 20;
    struct rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) == 0)
        usable = rl.rlim_cur == RLIM_INFINITY ? WANTED_STACK : size_t(rl.rlim_cur);
    if (usable > WANTED_STACK) usable = WANTED_STACK;
    // The guard sits below the caller's frame with a margin for raising and reporting the error.
    size_t margin = usable / 4 > GUARD_MARGIN ? GUARD_MARGIN : usable / 4;
    return usable - margin - (size_t(256) << 10);
}

}  // namespace zel::platform
