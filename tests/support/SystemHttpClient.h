#pragma once

namespace vel::test {

// Registers the system's HTTP transport (libcurl on Linux, WinHTTP on Windows) and makes it
// the client class that the senders create.
void UseSystemHttpClient();

}  // namespace vel::test
