// Connects the OS services to the datatypes: port! and its action forwarding, and the file!
// and url! actions that reach files, directories, HTTP and ports.
#pragma once

namespace zel::os_services {

// Start-up, after the datatypes and the action dispatchers exist.
void init();

}  // namespace zel::os_services
