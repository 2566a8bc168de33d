// The process entry: runtime start-up, then the script or the console.
#include <string>
#include <vector>

#include "api/zel.h"
#include "console/text_console.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zel::api::start(args);
    zel::console::Options opt = zel::console::parse_command_line(args);
    zel::console::publish_arguments(opt, !args.empty());
    if (!opt.script.empty()) return zel::console::run_script(opt);
    return zel::console::run_loop(true);
}
