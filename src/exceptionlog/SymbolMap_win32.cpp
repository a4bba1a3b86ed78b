#include "exceptionlog/SymbolMap_win32.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/WinApi_win32.h"

namespace vel::exceptionlog_detail {

namespace {

// What identifies one build of an image: the link time stamp and the size in memory, both in
// the map's first line and in the loaded module's headers.
struct ImageIdentity {
  std::uint32_t stamp = 0;
  std::uint32_t size = 0;
  bool operator==(const ImageIdentity&) const = default;
};

struct SymbolMap {
  std::vector<std::uint32_t> rvas;  // ascending
  std::vector<std::string> names;
};

const IMAGE_NT_HEADERS* Headers(HMODULE module) {
  const auto* base = reinterpret_cast<const unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

// True when the address lies in a section of code; the map names nothing else.
bool InCode(const IMAGE_NT_HEADERS* headers, std::uint32_t rva) {
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    const std::uint32_t size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
    if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size)
      return (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
  }
  return false;
}

// The map beside the module's file; null when there is none or it is of another build.
std::shared_ptr<const SymbolMap> ReadMap(const std::wstring& moduleFile, ImageIdentity identity) {
  std::ifstream in(std::filesystem::path(moduleFile + L".symbols"), std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) return nullptr;
  unsigned version = 0, stamp = 0, size = 0;
  if (std::sscanf(line.c_str(), "VELSYM %u %x %x", &version, &stamp, &size) != 3 || version != 1 ||
      ImageIdentity{stamp, size} != identity)
    return nullptr;
  auto map = std::make_shared<SymbolMap>();
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || space == 0) continue;
    char* end = nullptr;
    const unsigned long rva = std::strtoul(line.c_str(), &end, 16);
    if (end != line.c_str() + space) continue;
    if (!map->rvas.empty() && rva <= map->rvas.back()) continue;  // the file is sorted
    map->rvas.push_back(static_cast<std::uint32_t>(rva));
    map->names.push_back(line.substr(space + 1));
  }
  return map;
}

std::mutex gMapsLock;
// Per loaded module base; a module unloaded and another loaded at its base is told apart by
// its identity. A module without a usable map keeps a null entry, so its file is read once.
struct KnownModule {
  ImageIdentity identity;
  std::shared_ptr<const SymbolMap> map;
};
std::map<HMODULE, KnownModule> gMaps;

}  // namespace

std::string SymbolMapName(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module))
    return {};
  const IMAGE_NT_HEADERS* headers = Headers(module);
  const ImageIdentity identity{headers->FileHeader.TimeDateStamp,
                               headers->OptionalHeader.SizeOfImage};
  const auto rva = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) -
                                              reinterpret_cast<std::uintptr_t>(module));
  if (!InCode(headers, rva)) return {};

  std::shared_ptr<const SymbolMap> map;
  {
    std::lock_guard guard(gMapsLock);
    const auto it = gMaps.find(module);
    if (it != gMaps.end() && it->second.identity == identity) {
      map = it->second.map;
    } else {
      map = ReadMap(win::ModuleFileName(module), identity);
      gMaps[module] = {identity, map};
    }
  }
  if (!map) return {};
  const auto next = std::upper_bound(map->rvas.begin(), map->rvas.end(), rva);
  if (next == map->rvas.begin()) return {};
  return map->names[static_cast<std::size_t>(next - map->rvas.begin()) - 1];
}

}  // namespace vel::exceptionlog_detail
