// SPDX-License-Identifier: GPL-3.0-or-later

#include "platform/path_guard.h"
#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace kelmora::platform {

namespace {

PathInfo InfoOfHandle(HANDLE Handle) {
  PathInfo info;
  // A device ("nul", "con") or a pipe: something to write to, not a file.
  if (::GetFileType(Handle) != FILE_TYPE_DISK) {
    info.Kind = PathKind::Other;
    return info;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(Handle, &data)) return info;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    info.Kind = PathKind::Link;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    info.Kind = PathKind::Directory;
  } else {
    info.Kind = PathKind::File;
    info.Stamp = win32::PackFileTime(data.ftLastWriteTime);
  }
  return info;
}

}  // namespace

PathInfo InspectPath(const std::string& Path, bool FollowLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (FollowLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE h = ::CreateFileA(Path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    PathInfo missing;
    if (const int error = win32::LastErrno(); error != ENOENT) missing.Error = error;
    return missing;
  }
  const PathInfo info = InfoOfHandle(h);
  ::CloseHandle(h);
  return info;
}

std::string ResolvedPath(const std::string& Path) {
  const HANDLE h = ::CreateFileA(Path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  const std::string resolved = win32::FinalPathOf(h);
  ::CloseHandle(h);
  return resolved;
}

}  // namespace kelmora::platform
