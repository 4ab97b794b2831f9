// SPDX-License-Identifier: GPL-3.0-or-later
//
// Writing a file beside the one it replaces, and making the replacement
// durable, on Windows.
#include <string>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/win32/win32_support.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

using win32::LastErrno;

}  // namespace

File CreateFileBeside(const std::string& Final, std::string& Name) {
  const size_t end = Final.find_last_of(kFolderEnds);
  const std::string folder = end == std::string::npos ? std::string() : Final.substr(0, end + 1);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Kelmora's own pattern of names, which the next run in this folder
    // knows to remove when a cut leaves the file behind.
    const std::string name = folder + TemporaryName();
    const HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      HoldTemporary(name, win32::NativeOf(h));
      Name = name;
      return File::Adopt(win32::NativeOf(h), true);
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      error = win32::ErrnoOf(code);
      break;
    }
  }
  return File::Failure(error);
}

int SyncFile(const std::string& Path) {
  // FlushFileBuffers wants a handle that may write; the data reaches the
  // disk whichever handle wrote it.
  const HANDLE h = ::CreateFileA(Path.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrno();
  const int error = ::FlushFileBuffers(h) ? 0 : LastErrno();
  ::CloseHandle(h);
  return error;
}

int RenameFile(const std::string& From, const std::string& To) {
  if (!::MoveFileExA(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return LastErrno();
  ReleaseTemporary(From);
  return 0;
}

int SyncFolderOf(const std::string&) {
  // A folder cannot be flushed on Windows; RenameFile writes its change
  // through to the disk before it returns.
  return 0;
}

bool IsSpecialFile(const std::string& Path) {
  // "nul", "con", "\\.\pipe\..." are devices and pipes, not disk files.
  const HANDLE h =
      ::CreateFileA(Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool special = ::GetFileType(h) != FILE_TYPE_DISK;
  ::CloseHandle(h);
  return special;
}

bool SameFile(const std::string& A, const std::string& B) {
  FileIdentity a, b;
  return IdentityOfPath(A, a) && IdentityOfPath(B, b) && a == b;
}

std::string LinkTarget(const std::string& Path) {
  // Links to files need rights most users lack on Windows; a path is taken
  // as it is given.
  return Path;
}

}  // namespace kelmora::platform
