// SPDX-License-Identifier: GPL-3.0-or-later
//
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

std::optional<std::string> TargetClaims::Clash(const std::string& Target,
                                               const std::string& Stored) const {
  std::optional<std::string> earlier = claimed_.Find(platform::ComparableName(Target));
  if (earlier && *earlier == Stored) return std::nullopt;
  return earlier;
}

void TargetClaims::Claim(const std::string& Target, const std::string& Stored) {
  claimed_.Set(platform::ComparableName(Target), Stored);
}

void TargetClaims::Move(const std::string& From, const std::string& To) {
  const std::optional<std::string> stored = claimed_.Find(From);
  claimed_.Erase(From);
  claimed_.Set(To, stored.value_or(std::string()));
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
  if (!filter_ || letAll_) return true;
  const std::optional<std::string> known = answers_.Find(Stored);
  return known ? !known->empty() : filter_(Stored);
}

bool FilterAnswers::Remember(const std::string& Stored) {
  if (const std::optional<std::string> known = answers_.Find(Stored)) return !known->empty();
  const bool wanted = filter_(Stored);
  answers_.Set(Stored, wanted ? "y" : "");
  return wanted;
}

}  // namespace kelmora::restore
