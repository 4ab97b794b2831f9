// SPDX-License-Identifier: GPL-3.0-or-later
//
// How this system spells file names: what separates a path's components,
// whether names that differ only in case lead to one file, and which
// characters a name cannot hold. The engine asks here instead of assuming
// one system's rules.
#pragma once

#include <string>
#include <string_view>

namespace kelmora::platform {

#ifdef _WIN32
// Windows takes "\" and "/" alike; a drive ("c:*.txt") ends at its colon.
inline constexpr char kPathSeparator = '\\';
inline constexpr std::string_view kSeparators = "\\/";
inline constexpr std::string_view kFolderEnds = "\\/:";
// NTFS and FAT find "Report.TXT" under "report.txt": selected and stored
// names are lower-cased so that one file never appears under two spellings.
inline constexpr bool kNamesIgnoreCase = true;
// "c:\data" names a drive's folder; on Linux "c:" is an ordinary name.
inline constexpr bool kDriveLetters = true;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr std::string_view kSeparators = "/";
inline constexpr std::string_view kFolderEnds = "/";
inline constexpr bool kNamesIgnoreCase = false;
inline constexpr bool kDriveLetters = false;
#endif

inline bool IsPathSeparator(char C) {
  return kSeparators.find(C) != std::string_view::npos;
}

// True for a character after which a pattern's last component begins.
inline bool EndsFolder(char C) {
  return kFolderEnds.find(C) != std::string_view::npos;
}

// Name as this system compares names: A to Z lower-cased where case does
// not tell files apart, unchanged where it does.
inline std::string ComparableName(std::string Name) {
  if (kNamesIgnoreCase) {
    for (char& c : Name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return Name;
}

// Path as this system compares paths: as ComparableName, and every
// separator written as the system's own.
inline std::string ComparablePath(std::string Path) {
  Path = ComparableName(std::move(Path));
  for (char& c : Path)
    if (IsPathSeparator(c)) c = kPathSeparator;
  return Path;
}

// Whether one component of a path (no separator in it) can be a file or
// folder name here. Linux takes every byte but "/" and NUL; Windows refuses
// the characters its paths give other meanings ("a:b" would write a stream
// of a, not a file), so a name from Linux holding one is never written.
inline bool NameFitsSystem(std::string_view Component) {
#ifdef _WIN32
  for (const char c : Component) {
    if (static_cast<unsigned char>(c) < 32) return false;
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) return false;
  }
  // "a." and "a " are silently shortened to "a" by Windows.
  return Component.empty() || (Component.back() != '.' && Component.back() != ' ') ||
         Component == "." || Component == "..";
#else
  return Component.find('\0') == std::string_view::npos;
#endif
}

}  // namespace kelmora::platform
