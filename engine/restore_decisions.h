// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a restore decides about each file without looking into any folder:
// whether the mode writes over what stands at its target, which stored
// name each target went to already (two never share one), and what the
// filter answered. The folder handling (handles, what stands where, the
// way to a target's folder) is restore_place.cpp's; the run that puts the
// two together is engine/restore_run.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <optional>

#include "engine/name_claims.h"

#include "kelmora/backup_file.h"
#include "platform/path_guard.h"

namespace kelmora::restore {

// Whether Mode writes a stored file of packed time Stamp where Existing
// was seen. Only a file counts as existing; a link or folder there is for
// the folder handling to refuse.
bool ModeWrites(TRestoreMode Mode, int32_t Stamp, const platform::PathInfo& Existing);

// The targets a run restored to, each with the stored name it holds,
// compared as this system compares names ("A.txt" and "a.txt" are one
// file where case does not tell names apart). Compact and exact: it holds
// every file of the archive (engine/name_claims.h).
class TargetClaims {
 public:
  // The stored name restored to Target before, when it is another than
  // Stored; null when there is none. The same stored name twice is one
  // file backed up twice, and the later copy replaces the earlier.
  std::optional<std::string> Clash(const std::string& Target, const std::string& Stored) const;
  void Claim(const std::string& Target, const std::string& Stored);
  // By a name already made comparable (platform::ComparableName).
  bool Holds(const std::string& Comparable) const { return claimed_.Contains(Comparable); }
  void ClaimComparable(const std::string& Comparable, const std::string& Stored) {
    claimed_.Set(Comparable, Stored);
  }
  // Hands the claim on From to To.
  void Move(const std::string& From, const std::string& To);
  // Whether a file restored before, which may still wait to be put in
  // place, could change what the run finds at Target: one of the same
  // name, or one where a folder of Target goes.
  bool MayMeet(const std::string& Target);

 private:
  NameClaims claimed_;         // comparable target -> stored
  std::string checkedFolder_;  // the folder MayMeet checked last
};

// RestoreFilter's answers. The index of a companion asks for each stored
// name once ahead of the walk (Remember); the walk takes those answers and
// asks only for names not asked yet.
class FilterAnswers {
 public:
  explicit FilterAnswers(const std::function<bool(const std::string&)>& Filter) : filter_(Filter) {}
  // True for every name when there is no filter.
  bool Lets(const std::string& Stored) const;
  bool Remember(const std::string& Stored);
  // The answer for Stored, asked already.
  void Note(const std::string& Stored, bool Wanted) { answers_.Set(Stored, Wanted ? "y" : ""); }
  // Every name the walk will meet was asked, and every answer was yes.
  void LetAll() {
    letAll_ = true;
    answers_ = NameClaims();
  }

 private:
  const std::function<bool(const std::string&)>& filter_;
  bool letAll_ = false;
  // "" for no, "y" for yes: it holds every name of the archive.
  NameClaims answers_;
};

}  // namespace kelmora::restore
