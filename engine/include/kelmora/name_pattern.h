// SPDX-License-Identifier: GPL-3.0-or-later
//
// Which stored names a restore include pattern (kelmora-cli restore -i, the
// contents window's filter) takes: one rule for every front end, so that
// what the window shows for a pattern is what the command line restores.
#pragma once

#include <string>

namespace kelmora {

// A pattern with a root ("/", or a drive's "c:\") is anchored there; one
// without may match the name's tail from any folder on ("sub/*.txt" takes
// /home/ann/docs/sub/a.txt). "*" also crosses "/", and a pattern that
// names a folder takes all under it. A drive's pattern loses its root and
// takes "\" as "/", wildcards or not.
class TNamePattern {
 public:
  explicit TNamePattern(const std::string& Pattern);

  // Against a name as the archive stores it.
  bool Matches(const std::string& Stored) const;
  // Against a name already in StoredPath's form ("home/ann/a.txt"), for a
  // caller that tries many patterns on one name.
  bool MatchesPath(const std::string& Path) const;

 private:
  std::string trimmed_;      // without its root and trailing "/"
  std::string underFolder_;  // trimmed_ + "/*": all under a folder it names
  bool anchored_ = false;    // matched from the name's root only
};

// One pattern against one stored name.
inline bool PatternMatches(const std::string& Pattern, const std::string& Stored) {
  return TNamePattern(Pattern).Matches(Stored);
}

}  // namespace kelmora
