// SPDX-License-Identifier: GPL-3.0-or-later
//
// An open file as the operating system gives it: the one place where the
// engine's bytes meet read, write and seek calls.
//
// Failures carry the C library's error number (ENOSPC, EACCES...), which
// every system Kelmora builds on defines, so a message can name the
// system's reason whatever the system; ErrorText turns it into words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelmora::platform {

// The system's own handle of an open file or folder, whatever its type
// there (a descriptor, a HANDLE), held as an integer wide enough for both.
using NativeHandle = intptr_t;
inline constexpr NativeHandle kNoHandle = -1;

enum class FileKind { Regular, Directory, Device, Other };

// What the system knows of an open file.
struct FileState {
  FileKind Kind = FileKind::Other;
  int64_t Size = 0;
  int64_t ModifiedSeconds = 0;  // since the epoch
  int32_t ModifiedNanoseconds = 0;
  int64_t ModifiedNs() const { return ModifiedSeconds * 1000000000 + ModifiedNanoseconds; }
  bool operator==(const FileState&) const = default;
};

enum class OpenMode {
  Read,    // an existing file, read only; others may read and write it
  Create,  // a new or emptied file, read and write, 0666 less the umask
  Write,   // an existing file, write only, not emptied
};

enum class SeekFrom { Begin, Current, End };

// Closed with the object; moving hands the handle on. A File that failed
// to open is not Valid() and says why in LastError().
class File {
 public:
  File() = default;
  ~File();
  File(File&& Other) noexcept;
  File& operator=(File&& Other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A folder is refused (EISDIR). A FIFO or device opens without waiting
  // for a partner, so a FIFO put in a file's place cannot hang the run;
  // reads and writes wait as usual afterwards. With FollowLinks false a
  // symbolic link as the last component is refused rather than opened.
  // With Opened, what the system knew of the file at the open is put there,
  // which spares asking again.
  static File Open(const std::string& Path, OpenMode Mode, bool FollowLinks = true,
                   FileState* Opened = nullptr);
  // Takes a handle opened elsewhere; with Owns it is closed with the File.
  static File Adopt(NativeHandle Handle, bool Owns);
  // Takes and owns the handle of a regular file this process just created,
  // which stands at 0 and can seek: nothing needs to be asked of it.
  static File AdoptCreated(NativeHandle Handle) { return File(Handle, true, true); }
  // The process's standard input and output, never closed by the File.
  static File StandardInput();
  static File StandardOutput();
  // No file, failed with Error: for a platform call that opens one its own way.
  static File Failure(int Error);

  bool Valid() const { return handle_ != kNoHandle; }
  // The error number of the last call that failed; 0 when none has.
  int LastError() const { return error_; }
  // A regular file or block device, which Seek can move in; a pipe or a
  // terminal cannot.
  bool CanSeek() const { return seekable_; }
  NativeHandle Native() const { return handle_; }

  // Up to Count bytes, fewer only at the end or as a pipe delivers them;
  // 0 at the end, -1 on failure. A call a signal interrupts is made again.
  int64_t Read(void* Buffer, size_t Count);
  // All Count bytes, or false on failure (a device that takes no byte
  // fails with EIO).
  bool Write(const void* Buffer, size_t Count);
  // The new offset from the start, or -1.
  int64_t Seek(int64_t Offset, SeekFrom From);
  bool State(FileState& State);
  // Cuts or extends the file to Size bytes (an extension reads as zeros,
  // a hole where the file system has them); the offset stays.
  bool Resize(int64_t Size);
  // Makes the file at least Size bytes long and moves the offset to Size.
  bool ExtendTo(int64_t Size);
  // The packed last-write time (see PackTime), -1 when there is none.
  int32_t Stamp();
  // Sets the last-write time only; the access time is left alone. False
  // also for a stamp that holds no valid date.
  bool SetStamp(int32_t Stamp);
  // Closes an owned handle: false when the system reports a failure there
  // (NFS and full quotas may report a lost write only at the close). The
  // File is closed either way.
  bool Close();

 private:
  File(NativeHandle Handle, bool Owns, bool Seekable)
      : handle_(Handle), owns_(Owns), seekable_(Seekable) {}
  bool Failed();  // records the system's error number; returns false

  NativeHandle handle_ = kNoHandle;
  bool owns_ = false;
  bool seekable_ = false;
  int error_ = 0;
};

// The system's text for an error number ("No space left on device").
std::string ErrorText(int Error);

// Whether a failure to write or name one file would meet every file after
// it on that disk too (full, read-only, failing), rather than that file's
// name or folder alone.
bool FailsEveryFile(int Error);

}  // namespace kelmora::platform
