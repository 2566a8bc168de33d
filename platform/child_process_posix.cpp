// Running other programs on POSIX: posix_spawnp with pipes pumped by poll (see
// child_process.h).
#include "platform/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace zel::platform {

namespace {

// A file descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// One standard stream of the child: the descriptor the child gets, and the parent's end of
// the pipe when there is one.
struct Stream {
    Fd child;
    Fd parent;
};

bool make_pipe(Stream& s, bool child_reads) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    s.child.reset(child_reads ? fds[0] : fds[1]);
    s.parent.reset(child_reads ? fds[1] : fds[0]);
    fcntl(s.parent.get(), F_SETFL, fcntl(s.parent.get(), F_GETFL) | O_NONBLOCK);
    return true;
}

bool open_into(Stream& s, const std::string& path, int flags) {
    if (path.find('\0') != std::string::npos) return false;
    s.child.reset(::open(path.c_str(), flags | O_CLOEXEC, 0666));
    return s.child.valid();
}

bool prepare_input(const ChildInput& in, Stream& s) {
    switch (in.kind) {
        case ChildInput::Kind::INHERIT: return true;
        case ChildInput::Kind::BYTES: return make_pipe(s, true);
        case ChildInput::Kind::FILE: return open_into(s, in.path, O_RDONLY);
    }
    return false;
}

bool prepare_output(const ChildOutput& out, Stream& s) {
    switch (out.kind) {
        case ChildOutput::Kind::DISCARD: return open_into(s, "/dev/null", O_WRONLY);
        case ChildOutput::Kind::CAPTURE: return make_pipe(s, false);
        case ChildOutput::Kind::FILE: return open_into(s, out.path, O_WRONLY | O_CREAT | O_APPEND);
    }
    return false;
}

// Starts argv with the three streams; returns the process id, or the negated errno.
pid_t spawn(const std::vector<std::string>& argv, Stream streams[3]) {
    if (argv.empty()) return -ENOENT;
    std::vector<char*> args;
    for (const std::string& a : argv) {
        if (a.find('\0') != std::string::npos) return -EINVAL;
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int k = 0; k < 3; k++)
        if (streams[k].child.valid()) posix_spawn_file_actions_adddup2(&actions, streams[k].child.get(), k);
    // The runtime ignores SIGPIPE; the child starts with every signal at its default.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int err = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -err;
}

// Writes the input and reads both outputs as each pipe is ready, until every pipe closed.
void pump(Stream streams[3], const std::string& input, std::string* outputs[2]) {
    size_t written = 0;
    if (streams[0].parent.valid() && input.empty()) streams[0].parent.reset();
    char chunk[65536];
    for (;;) {
        pollfd fds[3];
        int count = 0;
        int which[3];
        for (int k = 0; k < 3; k++) {
            if (!streams[k].parent.valid()) continue;
            fds[count] = {streams[k].parent.get(), short(k == 0 ? POLLOUT : POLLIN), 0};
            which[count++] = k;
        }
        if (count == 0) return;
        if (poll(fds, nfds_t(count), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < count; i++) {
            if (!fds[i].revents) continue;
            Stream& s = streams[which[i]];
            if (which[i] == 0) {
                ssize_t n = ::write(s.parent.get(), input.data() + written, input.size() - written);
                if (n > 0) written += size_t(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) s.parent.reset();
            } else {
                ssize_t n = ::read(s.parent.get(), chunk, sizeof chunk);
                if (n > 0) outputs[which[i] - 1]->append(chunk, size_t(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR)) s.parent.reset();
            }
        }
    }
}

int64_t wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Collects a child nobody waits for once it ends.
void reap_later(pid_t pid) {
    std::thread([pid] {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

std::vector<std::string> shell_argv(const std::string& command) { return {"/bin/sh", "-c", command}; }

}  // namespace

std::vector<std::string> split_command_line(std::string_view command) {
    std::vector<std::string> out;
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : command) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (in_word) out.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) out.push_back(word);
    return out;
}

int64_t call(CallRequest& request) {
    signal(SIGPIPE, SIG_IGN);   // a child that stops reading must not end this process
    Stream streams[3];
    if (!prepare_input(request.input, streams[0]) || !prepare_output(request.output, streams[1]) ||
        !prepare_output(request.error, streams[2]))
        return -1;
    std::vector<std::string> argv = request.shell            ? shell_argv(request.command)
                                    : request.single_program ? std::vector<std::string>{request.command}
                                                             : split_command_line(request.command);
    pid_t pid = spawn(argv, streams);
    if (pid == -ENOENT && !request.shell) pid = spawn(shell_argv(request.command), streams);
    if (pid < 0) return -1;
    for (Stream& s : streams) s.child.reset();

    bool waited = request.wait || request.input.kind != ChildInput::Kind::INHERIT ||
                  request.output.kind != ChildOutput::Kind::DISCARD || request.error.kind != ChildOutput::Kind::DISCARD;
    if (!waited) {
        reap_later(pid);
        return pid;
    }
    std::string* outputs[2] = {&request.output.captured, &request.error.captured};
    pump(streams, request.input.bytes, outputs);
    return wait_for(pid);
}

void open_with_default_application(std::string_view target) {
    Stream streams[3];
    if (!prepare_output(ChildOutput{}, streams[1]) || !prepare_output(ChildOutput{}, streams[2])) return;
    pid_t pid = spawn({"xdg-open", std::string(target)}, streams);
    if (pid > 0) reap_later(pid);
}

}  // namespace zel::platform
