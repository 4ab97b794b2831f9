// SPDX-License-Identifier: GPL-3.0-or-later
//
// What Windows keeps of the companion's records: the kind and the time of
// a path, with a tenth of a microsecond's precision. Modes, owners and
// links are POSIX things; asked for, they report ENOTSUP.
#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/win32/win32_support.h"

namespace kelmora::platform {

namespace {

FILETIME FileTimeOf(const PathMetadata& M) {
  const int64_t ticks =
      M.ModifiedSeconds * 10000000 + M.ModifiedNanoseconds / 100 + win32::kEpochDifference;
  return win32::FileTimeOfTicks(ticks);
}

MetadataResult ApplyToHandle(HANDLE Handle, const PathMetadata& M, const MetadataRules& Rules) {
  MetadataResult result;
  if (M.HasMode) result.Mode = ENOTSUP;
  if (M.HasMode && Rules.Owner) result.Owner = ENOTSUP;
  const FILETIME written = FileTimeOf(M);
  if (!::SetFileTime(Handle, nullptr, nullptr, &written)) result.Time = win32::LastErrno();
  return result;
}

void FromAttributes(DWORD Attributes, const FILETIME& Written, DWORD SizeHigh, DWORD SizeLow,
                    PathMetadata& M) {
  if (Attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    M.Kind = PathKind::Other;
  else if (Attributes & FILE_ATTRIBUTE_DIRECTORY)
    M.Kind = PathKind::Directory;
  else
    M.Kind = PathKind::File;
  const int64_t ticks = win32::TicksOf(Written) - win32::kEpochDifference;
  // Floor division: times before 1970 keep their nanoseconds positive.
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  M.ModifiedSeconds = seconds;
  M.ModifiedNanoseconds = static_cast<uint32_t>(rest * 100);
  M.Size = static_cast<int64_t>(static_cast<uint64_t>(SizeHigh) << 32 | SizeLow);
}

}  // namespace

int ReadPathMetadata(const std::string& Path, PathMetadata& M) {
  M = PathMetadata();
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &data))
    return win32::LastErrno();
  FromAttributes(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow,
                 M);
  return 0;
}

int ReadOpenMetadata(File& Open, PathMetadata& M) {
  M = PathMetadata();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(win32::HandleOf(Open.Native()), &info))
    return win32::LastErrno();
  FromAttributes(info.dwFileAttributes, info.ftLastWriteTime, info.nFileSizeHigh, info.nFileSizeLow,
                 M);
  M.Device = info.dwVolumeSerialNumber;
  M.Inode = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  M.Links = info.nNumberOfLinks;
  return 0;
}

uint32_t ProcessUmask() {
  return 0;
}

bool MayChangeOwner() {
  return false;
}

MetadataResult ApplyMetadata(File& Open, const PathMetadata& M, const MetadataRules& Rules) {
  return ApplyToHandle(win32::HandleOf(Open.Native()), M, Rules);
}

MetadataResult ApplyMetadata(const FolderHandle& Folder, const PathMetadata& M,
                             const MetadataRules& Rules) {
  // The folder's own handle may list and traverse only; its time is set
  // through a second handle on the same folder, its final path.
  const std::string path = win32::FinalPathOf(win32::HandleOf(Folder.Get()));
  MetadataResult result;
  const HANDLE h =
      path.empty()
          ? INVALID_HANDLE_VALUE
          : ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    result.Time = win32::LastErrno();
    if (M.HasMode) result.Mode = ENOTSUP;
    return result;
  }
  result = ApplyToHandle(h, M, Rules);
  ::CloseHandle(h);
  return result;
}

int MakeSymbolicLink(const FolderHandle&, const std::string&, const std::string&, bool) {
  return ENOTSUP;
}

MetadataResult ApplyLinkMetadata(const FolderHandle&, const std::string&, const PathMetadata&,
                                 const MetadataRules&) {
  MetadataResult result;
  result.Owner = result.Mode = result.Time = ENOTSUP;
  return result;
}

int MakeHardLink(const FolderHandle&, const std::string&, const FolderHandle&, const std::string&) {
  return ENOTSUP;
}

}  // namespace kelmora::platform
