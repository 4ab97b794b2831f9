// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/selected_files.h"

#include "platform/assertions.h"
#include "platform/names.h"

namespace kelmora {

std::string SelectedFiles::operator[](size_t Index) const {
  const Entry& e = entries_[Index];
  std::string path;
  path.reserve(folders_[e.Folder].size() + e.LeafSize);
  path += folders_[e.Folder];
  path.append(leaves_, static_cast<size_t>(e.LeafAt), e.LeafSize);
  return path;
}

void SelectedFiles::push_back(const std::string& Path) {
  const size_t slash = Path.find_last_of(platform::kFolderEnds);
  const size_t leafAt = slash == std::string::npos ? 0 : slash + 1;
  // Only the folder of the entry before is looked at: a folder met again
  // later (another specification) is held again, which costs a string per
  // folder change, never one per file.
  if (folders_.empty() || folders_.back().size() != leafAt ||
      Path.compare(0, leafAt, folders_.back()) != 0)
    folders_.push_back(Path.substr(0, leafAt));
  KELMORA_ASSERT(folders_.size() <= UINT32_MAX && Path.size() - leafAt <= UINT32_MAX);
  entries_.push_back(Entry{leaves_.size(), static_cast<uint32_t>(folders_.size() - 1),
                           static_cast<uint32_t>(Path.size() - leafAt)});
  leaves_.append(Path, leafAt, std::string::npos);
}

void SelectedFiles::pop_back() {
  const Entry e = entries_.back();
  entries_.pop_back();
  leaves_.resize(static_cast<size_t>(e.LeafAt));
  // A folder no entry uses any more goes with its last entry, so a walk
  // that leaves out every file of many folders holds none of them.
  if (e.Folder + size_t{1} == folders_.size() &&
      (entries_.empty() || entries_.back().Folder != e.Folder))
    folders_.pop_back();
}

void SelectedFiles::push_front(const std::string& Path) {
  SelectedFiles front;
  front.push_back(Path);
  for (size_t i = 0; i < entries_.size(); ++i) front.push_back((*this)[i]);
  *this = std::move(front);
}

void SelectedFiles::Remove(const std::vector<bool>& LeftOut) {
  SelectedFiles kept;
  for (size_t i = 0; i < entries_.size(); ++i)
    if (i >= LeftOut.size() || !LeftOut[i]) kept.push_back((*this)[i]);
  *this = std::move(kept);
}

}  // namespace kelmora
