// Running other programs: the launcher behind the call and browse natives.
//
// A child's standard input, output and error are redirected through pipes, files or the null
// device; the pipes are pumped together (poll), so a child that writes more than a pipe
// holds, on both outputs at once, never blocks while its input is still being written.
// Children that are not waited for are reaped in the background, so none stays a zombie.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::platform {

// Where a child's standard input comes from.
struct ChildInput {
    enum class Kind { INHERIT, BYTES, FILE };
    Kind kind = Kind::INHERIT;
    std::string bytes;   // BYTES: sent to the child, then its input is closed
    std::string path;    // FILE: opened for reading
};

// Where a child's standard output or error goes.
struct ChildOutput {
    enum class Kind { DISCARD, CAPTURE, FILE };
    Kind kind = Kind::DISCARD;
    std::string path;       // FILE: created when missing, written from its end
    std::string captured;   // CAPTURE: what the child wrote
};

struct CallRequest {
    std::string command;
    bool single_program = false;   // the command is one program path, not a command line
    bool shell = false;            // run the command line through /bin/sh -c
    bool wait = false;
    ChildInput input;
    ChildOutput output, error;
};

// `platform/call`. Without shell the command line is split at blanks (double quotes group,
// and are removed) and the program is looked up in PATH; a program that is not found is
// retried once through the shell. With wait or any redirection the child is waited for and
// its exit status is the result (128 + the signal number when a signal ended it); otherwise
// the result is its process id. -1 when a pipe, a redirection file or the process cannot be
// made. Captured output lands in request.output.captured and request.error.captured.
int64_t call(CallRequest& request);

// Opens a URL or file in the desktop's default application (xdg-open); failures are ignored.
void open_with_default_application(std::string_view target);

// The command line split as call splits it (exposed for tests).
std::vector<std::string> split_command_line(std::string_view command);

}  // namespace zel::platform
