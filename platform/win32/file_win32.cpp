// SPDX-License-Identifier: GPL-3.0-or-later
//
// Open files on Windows: CreateFileA, ReadFile, WriteFile,
// SetFilePointerEx and the file's times, behind the one File class.
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace kelmora::platform {

namespace {

HANDLE SystemHandle(NativeHandle Handle) {
  return win32::HandleOf(Handle);
}

NativeHandle Held(HANDLE Handle) {
  return win32::NativeOf(Handle);
}

}  // namespace

bool File::Failed() {
  error_ = win32::LastErrno();
  return false;
}

File File::Open(const std::string& Path, OpenMode Mode, bool FollowLinks, FileState* Opened) {
  File file;
  const DWORD attributes = ::GetFileAttributesA(Path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    file.error_ = EISDIR;
    return file;
  }
  if (!FollowLinks && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    file.error_ = ELOOP;
    return file;
  }
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  if (Mode == OpenMode::Create) {
    access = GENERIC_READ | GENERIC_WRITE;
    disposition = CREATE_ALWAYS;
  } else if (Mode == OpenMode::Write) {
    access = GENERIC_WRITE;
  }
  // Others may read, write, rename and delete the file meanwhile, as on
  // Linux; a backup must not lock a user's files.
  const HANDLE h =
      ::CreateFileA(Path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    file.Failed();
    return file;
  }
  file.handle_ = Held(h);
  file.owns_ = true;
  file.seekable_ = ::GetFileType(h) == FILE_TYPE_DISK;
  if (Opened != nullptr && !file.State(*Opened)) file.Close();
  return file;
}

File File::Adopt(NativeHandle Handle, bool Owns) {
  return File(Handle, Owns, ::GetFileType(SystemHandle(Handle)) == FILE_TYPE_DISK);
}

File File::Failure(int Error) {
  File file;
  file.error_ = Error;
  return file;
}

File File::StandardInput() {
  return Adopt(Held(::GetStdHandle(STD_INPUT_HANDLE)), false);
}

File File::StandardOutput() {
  return Adopt(Held(::GetStdHandle(STD_OUTPUT_HANDLE)), false);
}

int64_t File::Read(void* Buffer, size_t Count) {
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(Count > 0x40000000 ? 0x40000000 : Count);
  if (::ReadFile(SystemHandle(handle_), Buffer, want, &n, nullptr)) return n;
  // The writer of a pipe went away: that is its end, not a failure.
  if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
  Failed();
  return -1;
}

bool File::Write(const void* Buffer, size_t Count) {
  const auto* in = static_cast<const unsigned char*>(Buffer);
  size_t done = 0;
  while (done < Count) {
    DWORD n = 0;
    const size_t left = Count - done;
    const DWORD want = static_cast<DWORD>(left > 0x40000000 ? 0x40000000 : left);
    if (!::WriteFile(SystemHandle(handle_), in + done, want, &n, nullptr)) return Failed();
    if (n == 0) {
      error_ = EIO;
      return false;
    }
    done += n;
  }
  return true;
}

int64_t File::Seek(int64_t Offset, SeekFrom From) {
  const DWORD method = From == SeekFrom::Begin ? FILE_BEGIN
                       : From == SeekFrom::End ? FILE_END
                                               : FILE_CURRENT;
  LARGE_INTEGER distance, at;
  distance.QuadPart = Offset;
  if (!::SetFilePointerEx(SystemHandle(handle_), distance, &at, method)) {
    Failed();
    return -1;
  }
  return at.QuadPart;
}

bool File::State(FileState& State) {
  const HANDLE h = SystemHandle(handle_);
  const DWORD type = ::GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    State = FileState();
    State.Kind = type == FILE_TYPE_CHAR ? FileKind::Device : FileKind::Other;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION data;
  if (!::GetFileInformationByHandle(h, &data)) return Failed();
  State.Kind =
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Directory : FileKind::Regular;
  State.Size =
      static_cast<int64_t>(static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
  const int64_t ticks = win32::TicksOf(data.ftLastWriteTime) - win32::kEpochDifference;
  // Floor division: a time before 1970 keeps its nanoseconds positive.
  int64_t seconds = ticks / 10000000, rest = ticks % 10000000;
  if (rest < 0) {
    --seconds;
    rest += 10000000;
  }
  State.ModifiedSeconds = seconds;
  State.ModifiedNanoseconds = static_cast<int32_t>(rest * 100);
  return true;
}

bool File::Resize(int64_t Size) {
  const HANDLE h = SystemHandle(handle_);
  LARGE_INTEGER zero{}, offset{}, size{};
  size.QuadPart = Size;
  // SetEndOfFile cuts or extends at the file pointer; the offset stays.
  if (!::SetFilePointerEx(h, zero, &offset, FILE_CURRENT)) return Failed();
  const bool ok = ::SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
  if (!ok) Failed();
  ::SetFilePointerEx(h, offset, nullptr, FILE_BEGIN);
  return ok;
}

bool File::ExtendTo(int64_t Size) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(SystemHandle(handle_), &size)) return Failed();
  if (size.QuadPart < Size && !Resize(Size)) return false;
  return Seek(Size, SeekFrom::Begin) == Size;
}

int32_t File::Stamp() {
  FILETIME written;
  if (!::GetFileTime(SystemHandle(handle_), nullptr, nullptr, &written)) return -1;
  return win32::PackFileTime(written);
}

bool File::SetStamp(int32_t Stamp) {
  FILETIME written;
  if (!win32::StampToFileTime(Stamp, written)) {
    error_ = EINVAL;
    return false;
  }
  // Null for the creation and access times leaves them as they are.
  return ::SetFileTime(SystemHandle(handle_), nullptr, nullptr, &written) != 0 || Failed();
}

bool File::Close() {
  if (!Valid()) return true;
  const bool ok = !owns_ || ::CloseHandle(SystemHandle(handle_)) != 0;
  if (!ok) Failed();
  handle_ = kNoHandle;
  return ok;
}

std::string ErrorText(int Error) {
  return std::strerror(Error);
}

}  // namespace kelmora::platform
