// The shared client library is made of the sender, writer and common static libraries linked
// whole; this file gives it one symbol of its own so a program can check what it loaded.
#include "VelVersion.h"

extern "C" const char* velclient_version() { return vel::kVersion; }
