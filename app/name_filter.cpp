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

bool PatternMatches(const std::string& Pattern, const std::string& Stored) {
  const bool drive = HasDriveRoot(Pattern);
  const bool anchored = drive || (!Pattern.empty() && (Pattern[0] == '/' || Pattern[0] == '\\'));
  // A drive's pattern loses its root and takes "\" as "/", wildcards or not.
  std::string trimmed = HasWildcard(Pattern) && !drive ? Pattern : StoredPath(Pattern);
  while (!trimmed.empty() && (trimmed[0] == '/' || trimmed[0] == '\\')) trimmed.erase(0, 1);
  while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.empty()) return anchored;  // "/" takes everything
  const std::string path = StoredPath(Stored);
  const std::string underFolder = trimmed + "/*";
  for (size_t start = 0; start <= path.size();) {
    const std::string tail = path.substr(start);
    if (platform::MatchPathPattern(trimmed, tail) || platform::MatchPathPattern(underFolder, tail))
      return true;
    if (anchored) break;
    const size_t slash = path.find('/', start);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return false;
}

TNameFilter::TNameFilter(const QString& Text) {
  for (const QString& part : Text.split(';')) {
    const QString pattern = part.trimmed();
    if (!pattern.isEmpty()) patterns_.push_back(pattern.toStdString());
  }
}

bool TNameFilter::Accepts(const std::string& Stored) const {
  if (patterns_.empty()) return true;
  for (const std::string& pattern : patterns_)
    if (PatternMatches(pattern, Stored)) return true;
  return false;
}

}  // namespace kelmora::app
