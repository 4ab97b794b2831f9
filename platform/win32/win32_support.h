// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the Windows sources of the platform layer share: windows.h without
// the macros that would rename our functions, the system's error codes as
// C library error numbers, and the handle behind a descriptor.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <string>

// windows.h maps DeleteFile to DeleteFileA; platform::DeleteFile is ours.
#undef DeleteFile

namespace kelmora::platform::win32 {

// The C library's number for a system error code, so that callers name
// the reason the same way on every system ("No space left on device").
inline int ErrnoOf(DWORD Code) {
  switch (Code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    default:
      return EIO;
  }
}

inline int LastErrno() {
  return ErrnoOf(::GetLastError());
}

// The system handle a File or FolderHandle holds, and back.
inline HANDLE HandleOf(intptr_t Native) {
  return Native == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(Native);
}

inline intptr_t NativeOf(HANDLE Handle) {
  return Handle == INVALID_HANDLE_VALUE || Handle == nullptr ? -1
                                                             : reinterpret_cast<intptr_t>(Handle);
}

// FILETIME counts 100-nanosecond steps since 1601; time_t seconds since 1970.
inline constexpr int64_t kEpochDifference = 116444736000000000LL;

inline int64_t TicksOf(const FILETIME& Time) {
  return static_cast<int64_t>(static_cast<uint64_t>(Time.dwHighDateTime) << 32 |
                              Time.dwLowDateTime);
}

inline FILETIME FileTimeOfTicks(int64_t Ticks) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(Ticks) & 0xFFFFFFFFu);
  t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(Ticks) >> 32);
  return t;
}

// The packed local time of a system time stamp; -1 outside 1980 to 2107.
int32_t PackFileTime(const FILETIME& Utc);
// The system time stamp of a packed local time; false when it holds no
// valid date.
bool StampToFileTime(int32_t Stamp, FILETIME& Utc);

// The path of an open file or folder as the system resolved it ("C:\a\b"),
// links and junctions followed; "" when it cannot be had.
inline std::string FinalPathOf(HANDLE Handle) {
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetFinalPathNameByHandleA(Handle, buffer, sizeof buffer, VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof buffer) return {};
  std::string path(buffer, n);
  // The long-path prefix the system adds is no part of the name.
  if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
  if (path.rfind("\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

}  // namespace kelmora::platform::win32
