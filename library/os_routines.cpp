// The routines that reach the operating system: the current directory, directory creation
// and file tests, OS information, the clipboard and the standard output.
#include <string>

#include "core/collector.h"
#include "core/error.h"
#include "core/object.h"
#include "core/routines.h"
#include "core/block.h"
#include "datatypes/series/string.h"
#include "io/clipboard.h"
#include "io/lexer.h"
#include "io/simple_io.h"
#include "library/routines.h"
#include "platform/current_dir.h"
#include "platform/files.h"
#include "platform/os_info.h"

namespace zel::library {

namespace {

// get-current-dir: the current directory as a file! ending in "/".
void get_current_dir(Cell* args) {
    std::string dir = platform::get_current_dir();
    if (dir.empty() || dir.back() != '/') dir += '/';
    string::from_utf8(&args[0], dir, TYPE_FILE);
}

void set_current_dir(Cell* args) {
    if (!platform::set_current_dir(simple_io::native_path(&args[0])))
        error::raise(error::ERR_ACCESS_CANNOT_OPEN, &args[0]);
}

void create_dir(Cell* args) {
    std::string path = simple_io::native_path(&args[0]);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (!platform::make_dir(path)) error::raise(error::ERR_ACCESS_NO_CREATE, &args[0]);
    set_unset(&args[0]);
}

void exists_q(Cell* args) {
    bool found = platform::path_info(simple_io::native_path(&args[0])).has_value();
    set_logic(&args[0], found);
}

// os-info: an object of name, arch, version and build.
void os_info(Cell* args) {
    platform::OsInfo info = platform::os_info();
    std::string name;
    for (char c : info.name)
        if (c != '{' && c != '}' && c != '^') name += c;
    std::string version;
    for (size_t i = 0; i < info.version.size(); i++) {
        if (i) version += '.';
        version += std::to_string(info.version[i] > 255 ? 255 : info.version[i]);
    }
    std::string spec = "name: {" + name + "} arch: '" + info.arch + " version: " + version + " build: 0";
    Cell block;
    lexer::load_utf8(&block, spec);
    collector::RootGuard keep(&block);
    object::make(&args[0], nullptr, &block);
}

void read_clipboard(Cell* args) { clipboard::read(&args[0]); }

void write_clipboard(Cell* args) { set_logic(&args[0], clipboard::write(&args[0])); }

void write_stdout(Cell* args) {
    simple_io::write(nullptr, &args[0], nullptr, nullptr, false, false);
    set_unset(&args[0]);
}

}  // namespace

void define_os_routines() {
    routines::define("get-current-dir", R"("Returns the platform's current directory for the process")",
                     get_current_dir);
    routines::define("set-current-dir", R"("Sets the platform's current process directory" path [file!])",
                     set_current_dir);
    routines::define("create-dir", R"("Create the given directory" path [file!])", create_dir);
    routines::define("exists?", R"("Returns TRUE if the file exists" path [file!] return: [logic!])", exists_q);
    routines::define("os-info", R"("Returns detailed operating system version information")", os_info);
    routines::define("read-clipboard",
                     R"("Return the contents of the system clipboard" return: [any-type!] "false on failure, none if empty, otherwise: string!, block! of files!, or an image!")",
                     read_clipboard);
    routines::define("write-clipboard",
                     R"("Write content to the system clipboard" data [any-type!] "string!, block! of files!, an image! or none!" return: [logic!] "indicates success")",
                     write_clipboard);
    routines::define("write-stdout", R"("Write data to STDOUT" data [any-type!])", write_stdout);
}

}  // namespace zel::library
