// Folders made on Windows inherit their access rights from the folder above them.
#include <filesystem>
#include <system_error>

#include "common/Paths.h"
#include "folderwatch/FolderWatcher.h"

namespace vel {

bool CreateFolderTree(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path path = PathFromUtf8(folder);
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

}  // namespace vel
