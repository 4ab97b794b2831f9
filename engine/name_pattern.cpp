// SPDX-License-Identifier: GPL-3.0-or-later

#include "kelmora/name_pattern.h"

#include <cctype>

#include "kelmora/console.h"
#include "kelmora/helpers.h"

namespace kelmora {

namespace {

bool HasWildcard(const std::string& Pattern) {
  return Pattern.find_first_of("*?[") != std::string::npos;
}

// "c:\" or "c:/": the root of a name written on Windows, read as such on
// every system, as stored names are.
bool HasDriveRoot(const std::string& Pattern) {
  return Pattern.size() >= 3 && std::isalpha(static_cast<unsigned char>(Pattern[0])) &&
         Pattern[1] == ':' && (Pattern[2] == '\\' || Pattern[2] == '/');
}

}  // namespace

TNamePattern::TNamePattern(const std::string& Pattern) {
  const bool drive = HasDriveRoot(Pattern);
  anchored_ = drive || (!Pattern.empty() && (Pattern[0] == '/' || Pattern[0] == '\\'));
  trimmed_ = HasWildcard(Pattern) && !drive ? Pattern : StoredPath(Pattern);
  while (!trimmed_.empty() && (trimmed_[0] == '/' || trimmed_[0] == '\\')) trimmed_.erase(0, 1);
  while (!trimmed_.empty() && trimmed_.back() == '/') trimmed_.pop_back();
  underFolder_ = trimmed_ + "/*";
}

bool TNamePattern::Matches(const std::string& Stored) const {
  return MatchesPath(StoredPath(Stored));
}

bool TNamePattern::MatchesPath(const std::string& Path) const {
  if (trimmed_.empty()) return anchored_;  // "/" takes everything
  for (size_t start = 0; start <= Path.size();) {
    const std::string tail = Path.substr(start);
    if (platform::MatchPathPattern(trimmed_, tail) ||
        platform::MatchPathPattern(underFolder_, tail))
      return true;
    if (anchored_) break;
    const size_t slash = Path.find('/', start);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return false;
}

}  // namespace kelmora
