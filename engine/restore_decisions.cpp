// A restore's decisions that look into no folder (engine/restore_decisions.h).
#include "engine/restore_decisions.h"

#include <string>
#include <utility>

#include "engine/restore_target.h"
#include "platform/names.h"

namespace kelmora::restore {

bool ModeWrites(TRestoreMode Mode, int32_t Stamp, const platform::PathInfo& Existing) {
  const bool exists = Existing.Kind == platform::PathKind::File;
  const bool storedIsNewer = exists && StoredIsNewer(Stamp, Existing.Stamp);
  switch (Mode) {
    case rmAll:
      return true;
    case rmNoOverwrite:
      return !exists;
    case rmNewer:
      return !exists || storedIsNewer;
    case rmExisting:
      return exists;
    case rmExistingNewer:
      return storedIsNewer;
  }
  return false;
}

const std::string* TargetClaims::Clash(const std::string& Target, const std::string& Stored) const {
  const auto earlier = claimed_.find(platform::ComparableName(Target));
  if (earlier == claimed_.end() || earlier->second == Stored) return nullptr;
  return &earlier->second;
}

void TargetClaims::Claim(const std::string& Target, const std::string& Stored) {
  claimed_[platform::ComparableName(Target)] = Stored;
}

void TargetClaims::Move(const std::string& From, const std::string& To) {
  std::string stored = std::move(claimed_[From]);
  claimed_.erase(From);
  claimed_[To] = std::move(stored);
}

bool TargetClaims::MayMeet(const std::string& Target) {
  if (Holds(platform::ComparableName(Target))) return true;
  // The files of one folder come one after another: its folders are
  // looked at once.
  std::string above = FolderOf(Target);
  if (above == checkedFolder_) return false;
  checkedFolder_ = above;
  for (;;) {
    if (Holds(platform::ComparableName(above))) return true;
    std::string up = FolderOf(above);
    if (up.empty() || up == above) return false;
    above = std::move(up);
  }
}

bool FilterAnswers::Lets(const std::string& Stored) const {
  if (!filter_) return true;
  const auto known = answers_.find(Stored);
  return known != answers_.end() ? known->second : filter_(Stored);
}

bool FilterAnswers::Remember(const std::string& Stored) {
  const auto known = answers_.find(Stored);
  if (known != answers_.end()) return known->second;
  return answers_[Stored] = filter_(Stored);
}

}  // namespace kelmora::restore
