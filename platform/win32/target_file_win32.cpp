// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore targets on Windows. A folder is held open without delete
// sharing while files are written into it, so it cannot be renamed away
// or swapped for a junction meanwhile; folders below a restore folder are
// entered one at a time and a junction or link in a folder's place is
// refused, as on every other system.
#include <aclapi.h>
#include <fcntl.h>

#include <string>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/win32/win32_support.h"

namespace kelmora::platform {

namespace {

using win32::HandleOf;
using win32::NativeOf;

// A folder, or why not: a file in its place is ENOTDIR and, when links are
// not followed, a junction or link there ELOOP, as open(2) says on Linux.
FolderHandle OpenFolderHandle(const std::string& Path, bool FollowLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (FollowLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE h = ::CreateFileA(
      Path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FolderHandle::Failure(win32::LastErrno());
  BY_HANDLE_FILE_INFORMATION data;
  int error = 0;
  if (!::GetFileInformationByHandle(h, &data))
    error = win32::LastErrno();
  else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    error = ENOTDIR;
  else if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    error = ELOOP;
  if (error != 0) {
    ::CloseHandle(h);
    return FolderHandle::Failure(error);
  }
  FolderHandle folder(NativeOf(h));
  folder.SetIdentity({data.dwVolumeSerialNumber,
                      static_cast<uint64_t>(data.nFileIndexHigh) << 32 | data.nFileIndexLow});
  return folder;
}

// The folder's path as the system resolved it, with Name below it.
std::string PathIn(const FolderHandle& Folder, const std::string& Name) {
  const std::string folder = win32::FinalPathOf(HandleOf(Folder.Get()));
  if (folder.empty()) return {};
  return IsPathSeparator(folder.back()) ? folder + Name : folder + '\\' + Name;
}

bool IdentityOfSystemHandle(HANDLE Handle, FileIdentity& Identity) {
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(Handle, &data)) return false;
  Identity = FileIdentity{data.dwVolumeSerialNumber,
                          static_cast<uint64_t>(data.nFileIndexHigh) << 32 | data.nFileIndexLow};
  return true;
}

bool IdentityOfName(const std::string& Path, bool FollowLinks, FileIdentity& Identity) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (FollowLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  const HANDLE h = ::CreateFileA(Path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = IdentityOfSystemHandle(h, Identity);
  ::CloseHandle(h);
  return ok;
}

}  // namespace

void FolderHandle::Close() {
  if (Valid()) ::CloseHandle(HandleOf(handle_));
}

FolderHandle FolderHandle::Duplicate() const {
  if (!Valid()) return FolderHandle();
  HANDLE copy = INVALID_HANDLE_VALUE;
  const HANDLE process = ::GetCurrentProcess();
  if (!::DuplicateHandle(process, HandleOf(handle_), process, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    return FolderHandle::Failure(win32::LastErrno());
  FolderHandle duplicate(NativeOf(copy));
  duplicate.identity_ = identity_;
  return duplicate;
}

FolderHandle OpenFolder(const std::string& Path, bool Create) {
  if (Path.empty()) return FolderHandle::Failure(ENOENT);
  if (Create && !ForceDirectories(Path)) return FolderHandle::Failure(errno);
  return OpenFolderHandle(Path, true);
}

LinkTrust TrustLinksMadeBeforeNow() {
  // Junctions and links are never followed below a restore folder here.
  return {};
}

bool IsSystemRoot(const FolderHandle&) {
  // A drive's root is no one root of everything; names carry their drive.
  return false;
}

FolderHandle OpenFolderBeneath(const FolderHandle& Base, const std::string& Relative, bool Create,
                               const LinkTrust&) {
  FolderHandle current = Base.Duplicate();
  bool made = false;
  size_t start = 0;
  while (current.Valid() && start < Relative.size()) {
    size_t end = Relative.find_first_of(kSeparators, start);
    if (end == std::string::npos) end = Relative.size();
    const std::string part = Relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." || !NameFitsSystem(part)) return FolderHandle::Failure(EINVAL);
    const std::string path = PathIn(current, part);
    if (path.empty()) return FolderHandle::Failure(win32::LastErrno());
    made = Create && ::CreateDirectoryA(path.c_str(), nullptr) != 0;
    if (Create && !made && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return FolderHandle::Failure(win32::LastErrno());
    // Not followed: a junction or link in the folder's place fails here.
    current = OpenFolderHandle(path, false);
  }
  if (made && current.Valid()) current.SetMade();
  return current;
}

bool IdentityOf(const File& Open, FileIdentity& Identity) {
  return Open.Valid() && IdentityOfSystemHandle(HandleOf(Open.Native()), Identity);
}

bool IdentityOf(const FolderHandle& Folder, FileIdentity& Identity) {
  if (Folder.Valid() && Folder.KnownIdentity() != FileIdentity{}) {
    Identity = Folder.KnownIdentity();
    return true;
  }
  return Folder.Valid() && IdentityOfSystemHandle(HandleOf(Folder.Get()), Identity);
}

bool IdentityOfPath(const std::string& Path, FileIdentity& Identity) {
  return IdentityOfName(Path, true, Identity);
}

bool IdentityAt(const FolderHandle& Folder, const std::string& Name, FileIdentity& Identity) {
  const std::string path = PathIn(Folder, Name);
  return !path.empty() && IdentityOfName(path, false, Identity);
}

bool FolderStillBeneath(const FolderHandle& Base, const std::string& Relative,
                        const FolderHandle& Folder, const LinkTrust&) {
  // A folder is held open without delete sharing, so it cannot be renamed
  // away while it is; where the system says it is now tells a junction put
  // above it. Two names of one folder differ only in case.
  std::string expected = win32::FinalPathOf(HandleOf(Base.Get()));
  for (size_t start = 0; start < Relative.size();) {
    size_t end = Relative.find_first_of(kSeparators, start);
    if (end == std::string::npos) end = Relative.size();
    if (end > start && Relative.compare(start, end - start, ".") != 0) {
      if (!expected.empty() && !IsPathSeparator(expected.back())) expected += '\\';
      expected.append(Relative, start, end - start);
    }
    start = end + 1;
  }
  const std::string held = win32::FinalPathOf(HandleOf(Folder.Get()));
  return !held.empty() && ComparablePath(held) == ComparablePath(expected);
}

PathInfo InspectAt(const FolderHandle& Folder, const std::string& Name) {
  const std::string path = PathIn(Folder, Name);
  return path.empty() ? PathInfo() : InspectPath(path, false);
}

PendingFile::PendingFile(std::shared_ptr<const FolderHandle> Folder) : folder_(std::move(Folder)) {
  if (!folder_ || !folder_->Valid()) {
    error_ = folder_ ? folder_->LastError() : EBADF;
    return;
  }
  // CREATE_NEW: a name that someone else took meanwhile is never opened.
  for (int attempt = 0; attempt < 16 && !file_.Valid(); ++attempt) {
    temporaryName_ = TemporaryName();
    const std::string path = PathIn(*folder_, temporaryName_);
    if (path.empty()) break;
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
      file_ = File::AdoptCreated(NativeOf(h));
    else if (::GetLastError() != ERROR_FILE_EXISTS)
      break;
  }
  if (!file_.Valid()) error_ = win32::LastErrno();
  pending_ = file_.Valid();
  // A second handle keeps every clean-up out after the file is closed and
  // before it is renamed.
  HANDLE keep = nullptr;
  const HANDLE process = ::GetCurrentProcess();
  if (pending_ && ::DuplicateHandle(process, HandleOf(file_.Native()), process, &keep, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS))
    lock_ = NativeOf(keep);
}

PendingFile::~PendingFile() {
  file_.Close();
  if (pending_) ::DeleteFileA(PathIn(*folder_, temporaryName_).c_str());
  if (lock_ != kNoHandle) ::CloseHandle(HandleOf(lock_));
}

File PendingFile::ReleaseFile() {
  return std::move(file_);
}

void PendingFile::TakeOverModeOf(const std::string& Name) {
  if (!file_.Valid()) return;
  const std::string path = PathIn(*folder_, Name);
  if (InspectPath(path, false).Kind != PathKind::File) return;
  // The older file's access list, so a private file does not come back
  // readable by everyone who may read the folder.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  ::SetSecurityInfo(HandleOf(file_.Native()), SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                    nullptr);
  ::LocalFree(descriptor);
}

bool PendingFile::PutInPlace(const std::string& Name, Placing How, const FolderHandle* Into) {
  if (!pending_ || Name.empty() || Name.find_first_of(kSeparators) != std::string::npos ||
      !NameFitsSystem(Name)) {
    error_ = EINVAL;
    return false;
  }
  const std::string from = PathIn(*folder_, temporaryName_),
                    to = PathIn(Into != nullptr ? *Into : *folder_, Name);
  if (from.empty() || to.empty()) {
    error_ = win32::LastErrno();
    return false;
  }
  // The data on the disk before the name: Windows cannot flush a whole
  // file system for an ordinary user, so each file is flushed here and
  // the rename written through.
  if (const int error = SyncFile(from); error != 0) {
    error_ = error;
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails the move.
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (How == Placing::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!::MoveFileExA(from.c_str(), to.c_str(), flags)) {
    error_ = win32::LastErrno();
    // Windows refuses a folder in the way as it refuses a lack of rights;
    // the folder is the reason worth telling.
    const DWORD there = ::GetFileAttributesA(to.c_str());
    if (error_ == EACCES && there != INVALID_FILE_ATTRIBUTES &&
        (there & FILE_ATTRIBUTE_DIRECTORY) != 0)
      error_ = EISDIR;
    return false;
  }
  pending_ = false;
  if (lock_ != kNoHandle) ::CloseHandle(HandleOf(lock_));
  lock_ = kNoHandle;
  return true;
}

int PendingFile::SyncData() {
  // PutInPlace flushes every file before its rename here.
  return pending_ ? 0 : EBADF;
}

int RenameKeeping(const FolderHandle& Folder, const std::string& Name, const std::string& To) {
  const std::string from = PathIn(Folder, Name), to = PathIn(Folder, To);
  if (from.empty() || to.empty()) return win32::LastErrno();
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : win32::LastErrno();
}

int SyncFileSystem(const FolderHandle& Folder) {
  // Every file put in place was flushed and renamed through to the disk.
  return Folder.Valid() ? 0 : EBADF;
}

}  // namespace kelmora::platform
