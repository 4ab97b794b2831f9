// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/metadata.h"

#include <algorithm>

namespace kelmora::companion {

bool RecordOf(const std::string& Name, const platform::PathMetadata& M, MetadataRecord& Record) {
  Record = MetadataRecord();
  switch (M.Kind) {
    case platform::PathKind::File:
      Record.Kind = EntryKind::File;
      break;
    case platform::PathKind::Directory:
      Record.Kind = EntryKind::Folder;
      break;
    case platform::PathKind::Link:
      Record.Kind = EntryKind::Link;
      break;
    default:
      return false;
  }
  Record.Name = Name;
  Record.Has = kHasTime;
  if (M.HasMode) {
    Record.Has |= kHasMode | kHasOwner;
    Record.Mode = M.Mode & 07777;
    Record.UserId = M.UserId;
    Record.GroupId = M.GroupId;
  }
  if (M.HasNames) {
    Record.Has |= kHasOwnerNames;
    Record.UserName = M.UserName;
    Record.GroupName = M.GroupName;
  }
  Record.Seconds = M.ModifiedSeconds;
  Record.Nanoseconds = M.ModifiedNanoseconds;
  Record.LinkTarget = M.LinkTarget;
  return true;
}

platform::PathMetadata PathMetadataOf(const MetadataRecord& R) {
  platform::PathMetadata m;
  m.Kind = R.Kind == EntryKind::Folder ? platform::PathKind::Directory
           : R.Kind == EntryKind::Link ? platform::PathKind::Link
                                       : platform::PathKind::File;
  // Mode and owner go together: a mode without its owner's ids would let
  // a set-ID bit through for whoever owns the restored file.
  m.HasMode = (R.Has & kHasMode) && (R.Has & kHasOwner);
  m.Mode = R.Mode & 07777;
  m.UserId = R.UserId;
  m.GroupId = R.GroupId;
  m.HasNames = (R.Has & kHasOwnerNames) != 0;
  m.UserName = R.UserName;
  m.GroupName = R.GroupName;
  m.ModifiedSeconds = R.Seconds;
  m.ModifiedNanoseconds = R.Nanoseconds;
  m.LinkTarget = R.LinkTarget;
  return m;
}

uint32_t HardLinks::GroupOf(const platform::PathMetadata& M) {
  if (M.Kind != platform::PathKind::File || M.Links < 2) return 0;
  const auto [at, added] =
      groups_.emplace(std::make_pair(M.Device, M.Inode), static_cast<uint32_t>(groups_.size() + 1));
  return at->second;
}

MetadataByName::MetadataByName(std::vector<MetadataRecord> Records) : records_(std::move(Records)) {
  byName_.resize(records_.size());
  for (size_t i = 0; i < records_.size(); ++i) byName_[i] = static_cast<uint32_t>(i);
  std::stable_sort(byName_.begin(), byName_.end(),
                   [this](uint32_t A, uint32_t B) { return records_[A].Name < records_[B].Name; });
}

const MetadataRecord* MetadataByName::Find(const std::string& Name, EntryKind Kind) const {
  struct ByName {
    const std::vector<MetadataRecord>& records;
    bool operator()(uint32_t A, const std::string& B) const { return records[A].Name < B; }
    bool operator()(const std::string& A, uint32_t B) const { return A < records[B].Name; }
  };
  const auto [first, last] =
      std::equal_range(byName_.begin(), byName_.end(), Name, ByName{records_});
  // A name recorded twice (a file backed up twice) takes its last record.
  for (auto it = last; it != first; --it)
    if (records_[*(it - 1)].Kind == Kind) return &records_[*(it - 1)];
  return nullptr;
}

}  // namespace kelmora::companion
