#include "app/name_filter.h"

#include <QStringList>
#include <cctype>

#include "kelmora/console.h"
#include "kelmora/helpers.h"

namespace kelmora::app {

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

TNameFilter::TPattern TNameFilter::Prepare(const std::string& Pattern) {
  TPattern p;
  const bool drive = HasDriveRoot(Pattern);
  p.Anchored = drive || (!Pattern.empty() && (Pattern[0] == '/' || Pattern[0] == '\\'));
  // A drive's pattern loses its root and takes "\" as "/", wildcards or not.
  p.Trimmed = HasWildcard(Pattern) && !drive ? Pattern : StoredPath(Pattern);
  while (!p.Trimmed.empty() && (p.Trimmed[0] == '/' || p.Trimmed[0] == '\\')) p.Trimmed.erase(0, 1);
  while (!p.Trimmed.empty() && p.Trimmed.back() == '/') p.Trimmed.pop_back();
  p.UnderFolder = p.Trimmed + "/*";
  return p;
}

bool TNameFilter::Matches(const TPattern& Pattern, const std::string& Path) {
  if (Pattern.Trimmed.empty()) return Pattern.Anchored;  // "/" takes everything
  for (size_t start = 0; start <= Path.size();) {
    const std::string tail = Path.substr(start);
    if (platform::MatchPathPattern(Pattern.Trimmed, tail) ||
        platform::MatchPathPattern(Pattern.UnderFolder, tail))
      return true;
    if (Pattern.Anchored) break;
    const size_t slash = Path.find('/', start);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return false;
}

bool PatternMatches(const std::string& Pattern, const std::string& Stored) {
  return TNameFilter::Matches(TNameFilter::Prepare(Pattern), StoredPath(Stored));
}

TNameFilter::TNameFilter(const QString& Text) {
  for (const QString& part : Text.split(';')) {
    const QString pattern = part.trimmed();
    if (!pattern.isEmpty()) patterns_.push_back(Prepare(pattern.toStdString()));
  }
}

bool TNameFilter::Accepts(const std::string& Stored) const {
  if (patterns_.empty()) return true;
  const std::string path = StoredPath(Stored);
  for (const TPattern& pattern : patterns_)
    if (Matches(pattern, path)) return true;
  return false;
}

}  // namespace kelmora::app
