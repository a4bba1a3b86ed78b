#pragma once

// Function names from the symbol map that the build writes beside each Windows image
// (<image>.symbols, cmake/make_symbol_map.py): a frame is named without DbgHelp, which on
// Windows reads PDB only, never the DWARF that GCC writes. Internal to the writer.

#include <string>

namespace vel::exceptionlog_detail {

// The function that holds the code address, from the map beside the module that holds it.
// "" when that module has no map, its map belongs to another build of it, or the address lies
// outside the module's code. Any thread may ask; each map is read once.
std::string SymbolMapName(const void* address);

}  // namespace vel::exceptionlog_detail
