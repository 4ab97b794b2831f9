// SPDX-License-Identifier: GPL-3.0-or-later
//
// Which stored names a list of include patterns takes: the engine's
// TNamePattern, the rule of kelmora-cli restore -i, so that what the
// contents window shows for a pattern is what the command line would
// restore for it.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "kelmora/name_pattern.h"

namespace kelmora::app {

class TNameFilter {
 public:
  TNameFilter() = default;
  // Patterns separated by ";" (a name may hold blanks); blank text takes
  // every name.
  explicit TNameFilter(const QString& Text);

  bool Empty() const { return patterns_.empty(); }
  bool Accepts(const std::string& Stored) const;

 private:
  std::vector<TNamePattern> patterns_;
};

}  // namespace kelmora::app
