// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/restore_target.h"

#include <cctype>
#include <string_view>

#include "platform/assertions.h"
#include "platform/names.h"

namespace kelmora::restore {

namespace {

// A name with a drive root ("X:\" or "X:/") was written on Windows, where
// "\" and "/" both separate. Any other name was written on Linux, where
// only "/" does: "\" and ":" are ordinary characters of its file names
// ("12:30 notes.txt"), and reading them as separators would merge files.
struct NameKind {
  const char* separators;
  size_t rootLength;  // "X:\" or "/"; 0 for a name without a root
};

NameKind KindOf(const std::string& Name) {
  if (Name.size() >= 3 && std::isalpha(static_cast<unsigned char>(Name[0])) && Name[1] == ':' &&
      (Name[2] == '\\' || Name[2] == '/'))
    return {"/\\", 3};
  return {"/", !Name.empty() && Name[0] == '/' ? 1u : 0u};
}

// The path below the root, re-joined with "/"; empty and "." components
// dropped. False when a component is "..", or, for a target, one this
// system cannot hold as a name (on Windows a Linux name's "12:30" or "a\b").
bool RelativePath(std::string_view Rest, const char* Separators, std::string& Out, bool ForTarget) {
  Out.clear();
  size_t start = 0;
  while (start <= Rest.size()) {
    size_t end = Rest.find_first_of(Separators, start);
    if (end == std::string_view::npos) end = Rest.size();
    const std::string_view part = Rest.substr(start, end - start);
    if (part == ".." || (ForTarget && !platform::NameFitsSystem(part))) return false;
    if (!part.empty() && part != ".") {
      if (!Out.empty()) Out += '/';
      Out.append(part);
    }
    start = end + 1;
  }
  return true;
}

// A path below the root joined with "/" as this system writes it.
std::string Localised(std::string Relative) {
  if (platform::kPathSeparator != '/')
    for (char& c : Relative)
      if (c == '/') c = platform::kPathSeparator;
  return Relative;
}

}  // namespace

std::string NormaliseFolder(const std::string& Folder) {
  if (Folder.empty() || platform::IsPathSeparator(Folder.back())) return Folder;
  return Folder + platform::kPathSeparator;
}

std::string TargetName(const std::string& Stored, const std::string& Folder, bool FullPath,
                       const std::string& Base) {
  KELMORA_ASSERT(Folder.empty() || platform::IsPathSeparator(Folder.back()));
  if (Stored.empty() || Stored.find('\0') != std::string::npos) return {};
  const NameKind kind = KindOf(Stored);
  const size_t nameStart = Stored.find_last_of(kind.separators);
  const std::string fileName =
      nameStart == std::string::npos ? Stored : Stored.substr(nameStart + 1);
  if (fileName.empty() || fileName == "." || fileName == "..") return {};

  std::string relative;
  if (!RelativePath(std::string_view(Stored).substr(kind.rootLength), kind.separators, relative,
                    true) ||
      relative.empty())
    return {};
  if (Folder.empty()) {
    // Where drives exist a name keeps its own ("c:\data\a.txt" goes back
    // to c:); a Linux name goes to the current drive's root.
    if (platform::kDriveLetters && kind.rootLength == 3)
      return Stored.substr(0, 2) + platform::kPathSeparator + Localised(relative);
    return platform::kPathSeparator + Localised(relative);
  }
  if (FullPath) {
    if (!Base.empty() && relative.size() > Base.size() && relative[Base.size()] == '/' &&
        relative.compare(0, Base.size(), Base) == 0)
      return Folder + Localised(relative.substr(Base.size() + 1));
    return Folder + Localised(relative);
  }
  return Folder + fileName;
}

std::string StoredPath(const std::string& Stored) {
  std::string relative;
  const NameKind kind = KindOf(Stored);
  if (Stored.find('\0') != std::string::npos ||
      !RelativePath(std::string_view(Stored).substr(kind.rootLength), kind.separators, relative,
                    false))
    return {};
  return relative;
}

std::string FolderOf(const std::string& Target) {
  const size_t slash = Target.find_last_of(platform::kSeparators);
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  // "c:" alone would be the drive's current folder, not its root.
  if (platform::kDriveLetters && slash == 2 && Target[1] == ':') return Target.substr(0, 3);
  return Target.substr(0, slash);
}

bool StoredIsNewer(int32_t Stored, int32_t Existing) {
  if (Stored == -1) return false;
  if (Existing == -1) return true;
  // The fields run from the year down to the seconds, so as unsigned
  // numbers they order as dates up to 2107; as signed ones every date from
  // 2044 on, with the top bit set, would come before 1980.
  return static_cast<uint32_t>(Stored) > static_cast<uint32_t>(Existing);
}

}  // namespace kelmora::restore
