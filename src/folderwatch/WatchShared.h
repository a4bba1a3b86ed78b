#pragma once

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "folderwatch/FolderWatcher.h"

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

// Moves the batch of every watch with something to tell into out. A watch has Batch (the
// changes not handed over yet) and GoneUntold (its loss is still to be told).
template <typename Watches>
void CollectBatches(Watches& watches, std::vector<TFolderWatchSet::TBatch>& out) {
  for (auto& [id, w] : watches) {
    if (w->Batch.empty() && !w->GoneUntold) continue;
    TFolderWatchSet::TBatch& b = out.emplace_back();
    b.Id = id;
    b.Items.swap(w->Batch);
    b.FolderGone = w->GoneUntold;
    w->GoneUntold = false;
  }
}

}  // namespace vel
