// SPDX-License-Identifier: GPL-3.0-or-later
//
// The wildcard match of a directory search, the same on every system.
#include <string>

#include "platform/platform.h"

namespace kelmora::platform {

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Glob match with "*" and "?", ASCII case ignored; linear backtracking on
// the last star keeps it O(n*m) at worst.
bool MatchPlain(const std::string& pattern, const std::string& name) {
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || LowerAscii(pattern[p]) == LowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchWildcard(const std::string& Pattern, const std::string& Name) {
  if (MatchPlain(Pattern, Name)) return true;
  // "name.*" also matches a name without any extension, as "*.*" must.
  if (Pattern.size() >= 2 && Pattern.compare(Pattern.size() - 2, 2, ".*") == 0)
    return MatchPlain(Pattern.substr(0, Pattern.size() - 2), Name);
  return false;
}

}  // namespace kelmora::platform
