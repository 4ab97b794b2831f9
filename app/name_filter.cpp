// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/name_filter.h"

#include <QStringList>

#include "kelmora/helpers.h"

namespace kelmora::app {

TNameFilter::TNameFilter(const QString& Text) {
  for (const QString& part : Text.split(';')) {
    const QString pattern = part.trimmed();
    if (!pattern.isEmpty()) patterns_.emplace_back(pattern.toStdString());
  }
}

bool TNameFilter::Accepts(const std::string& Stored) const {
  if (patterns_.empty()) return true;
  const std::string path = StoredPath(Stored);
  for (const TNamePattern& pattern : patterns_)
    if (pattern.MatchesPath(path)) return true;
  return false;
}

}  // namespace kelmora::app
