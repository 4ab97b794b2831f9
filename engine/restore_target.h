// SPDX-License-Identifier: GPL-3.0-or-later
//
// Where a stored name goes on this system. Stored names are absolute paths
// written on Linux ("/home/ann/a.txt"), where only "/" separates, or on
// Windows ("c:\data\a.txt", a drive root), where "\" and "/" both do.
// Targets are written with this system's separator.
#pragma once

#include <cstdint>
#include <string>

namespace kelmora::restore {

// The folder with a separator at its end, or "" when it is empty.
std::string NormaliseFolder(const std::string& Folder);

// The target file of a stored name:
//   Folder empty      the stored path with its root prefix standing for "/"
//   FullPath          Folder + the stored path without its root prefix
//   otherwise         Folder + the file-name part (after the last separator
//                     of the name's own kind)
// "" when the name must never be written: empty, holding a NUL, a ".."
// component, or no file name at its end. Folder is normalised. With
// FullPath and a Folder, a stored path below Base (a path as StoredPath
// gives it) loses that leading part.
std::string TargetName(const std::string& Stored, const std::string& Folder, bool FullPath,
                       const std::string& Base = std::string());

// The stored path without its root prefix, re-joined with "/"
// ("home/ann/a.txt"); "" for a name that is never written.
std::string StoredPath(const std::string& Stored);

// The folder part of a target ("/a/b" for "/a/b/c.txt", "/" for "/c.txt");
// "" for a name without any folder.
std::string FolderOf(const std::string& Target);

// Whether a stored packed time stamp is a later date and time than an
// existing file's; equal is not later. A stamp of -1 holds no date: an
// existing file without one (before 1980, or unreadable) counts as older,
// a stored one is never later.
bool StoredIsNewer(int32_t Stored, int32_t Existing);

}  // namespace kelmora::restore
