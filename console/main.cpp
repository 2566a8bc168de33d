// The process entry: platform start, runtime start-up, then the script or the console.
#include <string>
#include <vector>

#include "console/text_console.h"
#include "core/error.h"
#include "startup/runtime.h"
#include "core/stack.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    zel::platform::start_process();
    std::vector<std::string> args(argv + 1, argv + argc);
    zel::runtime::init(args);
    try {
        zel::console::Options opt = zel::console::parse_command_line(args);
        zel::console::publish_arguments(opt, !args.empty());
        if (!opt.script.empty()) return zel::console::run_script(opt);
        return zel::console::run_loop(true);
    } catch (zel::stack::Unwind&) {
        // An error that escaped every handler ends the process (status 254).
        zel::error::uncaught(&zel::stack::unwind_value);
    }
}
