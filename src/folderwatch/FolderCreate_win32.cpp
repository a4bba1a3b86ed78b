// Folders made on Windows inherit their access rights from the folder above them.
#include <filesystem>
#include <system_error>

#include "folderwatch/FolderWatcher.h"

namespace vel {

bool CreateFolderTree(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

}  // namespace vel
