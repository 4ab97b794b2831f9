// SPDX-License-Identifier: GPL-3.0-or-later
//
// The platform layer on Windows: the directory search, attributes, times
// and temporary files of the Win32 API, through its byte-string ("A")
// functions, so names pass through exactly as the engine holds them.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/stamp_fields.h"
#include "platform/win32/win32_support.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

using win32::FileTimeOfTicks;
using win32::kEpochDifference;
using win32::PackFileTime;
using win32::StampToFileTime;
using win32::TicksOf;

struct Listed {
  std::string name;
  DWORD attributes;
  int64_t size;
};

// Lists a folder's entries other than "." and "..", in one order on every
// file system (FAT lists in creation order, NTFS by its own collation).
// Error, when given, is left with the error number of a folder that is
// there but could not be (wholly) listed.
std::vector<Listed> ListDirectory(const std::string& Folder, int* Error = nullptr) {
  std::vector<Listed> entries;
  if (Error != nullptr) *Error = 0;
  std::string pattern = Folder;
  if (!pattern.empty() && !EndsFolder(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD why = ::GetLastError();
    // A folder that is not there holds nothing to account for.
    if (Error != nullptr && why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND &&
        why != ERROR_DIRECTORY)
      *Error = win32::LastErrno();
    return entries;
  }
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    entries.push_back(Listed{name, found.dwFileAttributes,
                             static_cast<int64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
  } while (::FindNextFileA(search, &found));
  if (Error != nullptr && ::GetLastError() != ERROR_NO_MORE_FILES) *Error = win32::LastErrno();
  ::FindClose(search);
  std::sort(entries.begin(), entries.end(), [](const Listed& a, const Listed& b) {
    return ComparableName(a.name) < ComparableName(b.name);
  });
  return entries;
}

bool IsSearchFile(const Listed& e) {
  return (e.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Hidden and system folders are not entered, nor links and junctions to
// folders, which could lead round in a circle.
bool IsSearchDirectory(const Listed& e) {
  constexpr DWORD kSkipped =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT;
  return (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (e.attributes & kSkipped) == 0;
}

// The size as the folder tells it, not Known: the file is still opened to
// measure it, but a run stopped before then counts it all the same.
SearchEntry EntryOf(const Listed& e) {
  SearchEntry entry{e.name, (e.attributes & FILE_ATTRIBUTE_HIDDEN) != 0, {}};
  entry.Measure.Size = e.size;
  return entry;
}

bool FileData(const std::string& Path, WIN32_FILE_ATTRIBUTE_DATA& Data) {
  return ::GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &Data) != 0;
}

DWORD AttributesOf(const std::string& Path) {
  return Path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(Path.c_str());
}

// Opens Path only to read or change its attributes and times; a folder too.
HANDLE OpenForAttributes(const std::string& Path, DWORD Access) {
  return ::CreateFileA(Path.c_str(), Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

// The packed local time of a system time stamp. The offset is the one in
// force on that date: FileTimeToLocalFileTime would apply today's
// daylight-saving offset to every date, so a summer file's stamp would move
// by an hour each autumn, and archives of one tree made on Windows and
// Linux would disagree.
int32_t win32::PackFileTime(const FILETIME& Utc) {
  SYSTEMTIME utc, local;
  if (!::FileTimeToSystemTime(&Utc, &utc) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return -1;
  if (local.wYear < 1980 || local.wYear > 2107) return -1;
  // The fields straight into the FAT layout; FileTimeToDosDateTime would
  // do the same but stops at 2106 under Wine.
  const uint32_t date = static_cast<uint32_t>(local.wYear - 1980) << 9 |
                        static_cast<uint32_t>(local.wMonth) << 5 | local.wDay;
  const uint32_t time = static_cast<uint32_t>(local.wHour) << 11 |
                        static_cast<uint32_t>(local.wMinute) << 5 |
                        static_cast<uint32_t>(local.wSecond / 2);
  return static_cast<int32_t>(date << 16 | time);
}

bool win32::StampToFileTime(int32_t Stamp, FILETIME& Utc) {
  StampFields f;
  if (!SplitStamp(Stamp, f)) return false;
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(f.Year);
  local.wMonth = static_cast<WORD>(f.Month);
  local.wDay = static_cast<WORD>(f.Day);
  local.wHour = static_cast<WORD>(f.Hour);
  local.wMinute = static_cast<WORD>(f.Minute);
  local.wSecond = static_cast<WORD>(f.Second);
  SYSTEMTIME utc;
  return ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) &&
         ::SystemTimeToFileTime(&utc, &Utc);
}

std::string FullPath(const std::string& Path) {
  const char* input = Path.empty() ? "." : Path.c_str();
  const DWORD needed = ::GetFullPathNameA(input, 0, nullptr, nullptr);
  if (needed == 0) return Path;
  std::string full(needed, '\0');
  const DWORD length = ::GetFullPathNameA(input, needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return Path;
  full.resize(length);
  return full;
}

void SearchFiles(const std::string& Folder, const std::string& Pattern,
                 const std::function<void(const SearchEntry&)>& Found, int* Error) {
  for (const Listed& e : ListDirectory(Folder, Error))
    if (IsSearchFile(e) && MatchWildcard(Pattern, e.name)) Found(EntryOf(e));
}

void SearchDirectories(const std::string& Folder,
                       const std::function<void(const SearchEntry&)>& Found) {
  for (const Listed& e : ListDirectory(Folder))
    if (IsSearchDirectory(e)) Found(SearchEntry{e.name, false, {}});
}

FolderListing ListFolder(const std::string& Folder, const std::string& Pattern,
                         bool IncludeHidden) {
  FolderListing listing;
  constexpr DWORD kHidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const Listed& e : ListDirectory(Folder, &listing.Error)) {
    if (IsSearchDirectory(e)) {
      listing.Directories.push_back(SearchEntry{e.name, false, {}});
    } else if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (e.attributes & kHidden) != 0 &&
               (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      // Links and junctions stay out either way: they could lead round.
      if (IncludeHidden)
        listing.Directories.push_back(SearchEntry{e.name, true, {}});
      else
        ++listing.HiddenDirectories;
    } else if (IsSearchFile(e) && MatchWildcard(Pattern, e.name)) {
      listing.Files.push_back(EntryOf(e));
    }
  }
  return listing;
}

bool FileExists(const std::string& Path) {
  const DWORD a = AttributesOf(Path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& Path) {
  const DWORD a = AttributesOf(Path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool DeleteFile(const std::string& Path) {
  return RemoveFile(Path) == 0;
}

int RemoveFile(const std::string& Path) {
  if (!::DeleteFileA(Path.c_str())) return win32::LastErrno();
  ReleaseTemporary(Path);
  return 0;
}

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  if (DirectoryExists(Path)) return true;
  // Every prefix that ends before a separator, the drive ("c:") and the
  // server's share ("\\server\share") excepted: those cannot be made.
  size_t start = 0;
  if (Path.size() >= 2 && Path[1] == ':') start = 2;
  if (Path.size() >= 2 && IsPathSeparator(Path[0]) && IsPathSeparator(Path[1])) {
    start = Path.find_first_of("\\/", 2);
    start = start == std::string::npos ? Path.size() : Path.find_first_of("\\/", start + 1);
    if (start == std::string::npos) start = Path.size();
  }
  for (size_t pos = start; pos <= Path.size(); ++pos) {
    if (pos != Path.size() && Path[pos] != '\\' && Path[pos] != '/') continue;
    const std::string prefix = Path.substr(0, pos);
    if (prefix.empty() || (prefix.size() == 2 && prefix[1] == ':')) continue;
    if (!::CreateDirectoryA(prefix.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS &&
        !DirectoryExists(prefix)) {
      errno = win32::LastErrno();
      return false;
    }
  }
  // Callers name the reason from errno, as mkdir(2) leaves it on Linux: what
  // stands in a folder's place is no folder.
  if (DirectoryExists(Path)) return true;
  errno = ENOTDIR;
  return false;
}

std::string TempFolder() {
  // TMPDIR first, as on every other system; Windows' own folder otherwise.
  if (const char* base = std::getenv("TMPDIR"); base && *base) return base;
  char path[MAX_PATH + 1];
  const DWORD n = ::GetTempPathA(sizeof path, path);
  if (n == 0 || n > MAX_PATH) return {};
  return std::string(path, n);
}

std::string CreateTempFile(const std::string& Prefix, int* Error) {
  const std::string folder = TempFolder();
  if (folder.empty()) {
    if (Error != nullptr) *Error = win32::LastErrno();
    return {};
  }
  char name[MAX_PATH];
  // GetTempFileNameA creates the file, so the name is ours alone.
  if (::GetTempFileNameA(folder.c_str(), Prefix.c_str(), 0, name) == 0) {
    if (Error != nullptr) *Error = win32::LastErrno();
    return {};
  }
  // A handle held until DeleteFile keeps every clean-up from taking it.
  const HANDLE h =
      ::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    HoldTemporary(name, win32::NativeOf(h));
    ::CloseHandle(h);
  }
  return name;
}

int32_t PackTime(std::time_t Time) {
  // Before 1601 no FILETIME exists; before 1980 no stamp does anyway.
  if (Time < 0) return -1;
  return PackFileTime(FileTimeOfTicks(static_cast<int64_t>(Time) * 10000000 + kEpochDifference));
}

bool UnpackTime(int32_t Stamp, std::time_t& Time) {
  FILETIME utc;
  if (!StampToFileTime(Stamp, utc)) return false;
  Time = static_cast<std::time_t>((TicksOf(utc) - kEpochDifference) / 10000000);
  return true;
}

int32_t FileTimeOfPath(const std::string& Path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!FileData(Path, data)) return -1;
  return PackFileTime(data.ftLastWriteTime);
}

bool SetFileTimeOfPath(const std::string& Path, int32_t Stamp) {
  FILETIME written;
  if (!StampToFileTime(Stamp, written)) return false;
  const HANDLE h = OpenForAttributes(Path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::SetFileTime(h, nullptr, nullptr, &written) != 0;
  ::CloseHandle(h);
  return ok;
}

// The file system's own archive attribute: Windows sets it whenever a
// file is written, and backup programs clear it.
bool HasArchiveAttribute(const std::string& Path) {
  const DWORD a = AttributesOf(Path);
  return a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_ARCHIVE) != 0;
}

void ClearArchiveAttribute(const std::string& Path) {
  const DWORD a = AttributesOf(Path);
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_ARCHIVE) != 0)
    ::SetFileAttributesA(Path.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

void ClearArchiveAttribute(const std::string& Path, int64_t Size, int64_t ModifiedNs) {
  // Cleared only while the file still is as the backup stored it: one
  // written since keeps its attribute and is backed up next time.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!FileData(Path, data)) return;
  const int64_t size =
      static_cast<int64_t>(static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
  const int64_t modifiedNs = (TicksOf(data.ftLastWriteTime) - kEpochDifference) * 100;
  if (size == Size && modifiedNs == ModifiedNs) ClearArchiveAttribute(Path);
}

}  // namespace kelmora::platform
