// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kelmora's working files on Windows. A file open without delete sharing
// cannot be removed, and one opened with no sharing at all is one no one
// else holds; LockFileEx guards an archive. Both end with the process.
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/win32/win32_support.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

struct HeldTemporaries {
  std::mutex mutex;
  std::unordered_map<std::string, HANDLE> held;
};

HeldTemporaries& Held() {
  static HeldTemporaries registry;
  return registry;
}

std::string FolderOf(const std::string& Path) {
  const size_t end = Path.find_last_of(kFolderEnds);
  if (end == std::string::npos) return ".";
  return Path.substr(0, end + 1);
}

std::string WithSeparator(std::string Folder) {
  if (!Folder.empty() && !IsPathSeparator(Folder.back()) && Folder.back() != ':') Folder += '\\';
  return Folder;
}

// Whether the folder holds the record of an unfinished replacement.
bool HoldsJournal(const std::string& Folder) {
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((Folder + ".*.kelmora-commit").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool recorded = false;
  do {
    recorded = recorded || IsJournalName(found.cFileName);
  } while (!recorded && ::FindNextFileA(search, &found));
  ::FindClose(search);
  return recorded;
}

int RemoveLeftoversIn(std::string Folder) {
  Folder = WithSeparator(std::move(Folder));
  // Its temporaries may be the new files of an unfinished replacement.
  if (HoldsJournal(Folder)) return 0;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((Folder + ".kelmora-*.part").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IsTemporaryName(found.cFileName))
      continue;
    // No sharing: the open fails while any other handle holds the file.
    const HANDLE h =
        ::CreateFileA((Folder + found.cFileName).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    ::CloseHandle(h);
    ++removed;
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return removed;
}

}  // namespace

bool LockNewTemporary(NativeHandle) {
  // The creator's own handle already keeps every clean-up out.
  return true;
}

bool HoldTemporary(const std::string& Path, NativeHandle Handle) {
  HANDLE keep = nullptr;
  const HANDLE process = ::GetCurrentProcess();
  if (!::DuplicateHandle(process, win32::HandleOf(Handle), process, &keep, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return true;  // held while the caller keeps it open
  HeldTemporaries& registry = Held();
  std::lock_guard<std::mutex> lock(registry.mutex);
  HANDLE& slot = registry.held[Path];
  if (slot != nullptr) ::CloseHandle(slot);
  slot = keep;
  return true;
}

void ReleaseTemporary(const std::string& Path) {
  HeldTemporaries& registry = Held();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.held.find(Path);
  if (it == registry.held.end()) return;
  ::CloseHandle(it->second);
  registry.held.erase(it);
}

int RemoveLeftovers(const FolderHandle& Folder) {
  if (!Folder.Valid()) return 0;
  const std::string path = win32::FinalPathOf(win32::HandleOf(Folder.Get()));
  return path.empty() ? 0 : RemoveLeftoversIn(path);
}

int RemoveLeftoversBeside(const std::string& Path) {
  return RemoveLeftoversIn(FolderOf(Path));
}

int RemoveAbandonedTempFiles(const std::string& Prefix,
                             const std::function<bool(std::string_view Head)>& Looks) {
  const std::string folder = WithSeparator(TempFolder());
  if (folder.empty()) return 0;
  WIN32_FIND_DATAA found;
  // GetTempFileNameA's names: the prefix (three characters at most), up to
  // four hexadecimal digits, ".tmp".
  const std::string prefix = Prefix.substr(0, 3);
  const HANDLE search = ::FindFirstFileA((folder + prefix + "*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  do {
    const std::string_view name(found.cFileName);
    if (name.size() <= prefix.size() + 4) continue;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || digits.empty() ||
        digits.size() > 4 ||
        digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string_view::npos)
      continue;
    // No sharing: the open fails while any other handle holds the file.
    const HANDLE h = ::CreateFileA((folder + found.cFileName).c_str(), GENERIC_READ | DELETE, 0,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    char head[4096];
    DWORD got = 0;
    FILE_DISPOSITION_INFO remove{TRUE};
    if (::ReadFile(h, head, sizeof head, &got, nullptr) && Looks(std::string_view(head, got)) &&
        ::SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof remove))
      ++removed;
    ::CloseHandle(h);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return removed;
}

namespace {

// Whether Handle's file is still the one at Path: the last holder may
// have removed it between our open and our lock, and a lock on a removed
// file guards nothing. A name whose removal waits for its last handle to
// close cannot be opened, and counts as gone.
bool StillNamed(HANDLE Handle, const std::string& Path) {
  BY_HANDLE_FILE_INFORMATION held, named;
  if (!::GetFileInformationByHandle(Handle, &held)) return false;
  const HANDLE again =
      ::CreateFileA(Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (again == INVALID_HANDLE_VALUE) return false;
  const bool same = ::GetFileInformationByHandle(again, &named) &&
                    held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == named.nFileIndexHigh &&
                    held.nFileIndexLow == named.nFileIndexLow;
  ::CloseHandle(again);
  return same;
}

}  // namespace

int RunLock::Take(const std::string& Archive, Mode How, int WaitMilliseconds) {
  Release();
  path_ = LockPathOf(Archive);
  const DWORD flags =
      LOCKFILE_FAIL_IMMEDIATELY | (How == Mode::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMilliseconds);
  for (;;) {
    // Every holder shares deletion, so that the last one can remove the
    // file while others still have it open.
    const HANDLE h = ::CreateFileA(path_.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    int wait = EWOULDBLOCK;
    if (h == INVALID_HANDLE_VALUE) {
      // A file being removed cannot be opened until its last handle
      // closes: that is a wait, not a failure, unless it lasts.
      if (::GetLastError() != ERROR_ACCESS_DENIED) return win32::LastErrno();
      wait = EACCES;
    } else {
      OVERLAPPED at{};
      if (::LockFileEx(h, flags, 0, 1, 0, &at)) {
        if (StillNamed(h, path_)) {
          handle_ = win32::NativeOf(h);
          return 0;
        }
        ::CloseHandle(h);
        continue;
      }
      const DWORD code = ::GetLastError();
      if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
        // A file system without locks: nothing guards the archive there.
        handle_ = win32::NativeOf(h);
        return 0;
      }
      ::CloseHandle(h);
    }
    if (std::chrono::steady_clock::now() >= deadline) return wait;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void RunLock::Release() {
  if (handle_ == kNoHandle) return;
  const HANDLE h = win32::HandleOf(handle_);
  handle_ = kNoHandle;
  // A holder that can have the file to itself removes it, so no lock is
  // left lying beside the archive; one that waits is sent to a new file
  // by the check in Take.
  OVERLAPPED at{};
  ::UnlockFileEx(h, 0, 1, 0, &at);
  OVERLAPPED again{};
  if (::LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &again) &&
      StillNamed(h, path_))
    ::DeleteFileA(path_.c_str());
  ::CloseHandle(h);
}

}  // namespace kelmora::platform
