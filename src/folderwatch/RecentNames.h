#pragma once

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "folderwatch/FolderMonitor.h"

namespace vel {

// The names a watch reported new in its recent reads. After an overflow the folder's listing
// stands in for the lost changes; what was reported already is not reported again.
template <typename TimePoint>
class TRecentNames {
 public:
  // Remembers what batch reports new, read at readAt; forgets names older than oldest.
  void Note(const std::vector<TFolderItemInfo>& batch, TimePoint readAt, TimePoint oldest) {
    std::erase_if(FNames, [&](const auto& entry) { return entry.second < oldest; });
    for (const TFolderItemInfo& item : batch)
      if (IsNew(item)) FNames[item.Name] = readAt;
  }

  // Appends the listed entries to batch that neither batch nor a recent read reported new.
  void AppendUnreported(std::vector<TFolderItemInfo>& listed,
                        std::vector<TFolderItemInfo>& batch) const {
    for (TFolderItemInfo& item : listed) {
      const bool inBatch = std::any_of(batch.begin(), batch.end(), [&](const TFolderItemInfo& b) {
        return b.Name == item.Name && IsNew(b);
      });
      if (!inBatch && !FNames.contains(item.Name)) batch.push_back(std::move(item));
    }
  }

 private:
  static bool IsNew(const TFolderItemInfo& item) {
    return item.Action == faNew || item.Action == faRenamedNew;
  }

  std::unordered_map<std::string, TimePoint> FNames;
};

}  // namespace vel
