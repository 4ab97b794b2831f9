// SPDX-License-Identifier: GPL-3.0-or-later
//
// The engine's own small stream types. Every archive byte goes through
// one of these, so the archive code never deals with descriptors, short
// reads or partial writes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelmora::platform {
class File;
}

namespace kelmora {

// The engine's general exception: stream failures, a damaged archive.
class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
  EStreamError(const char* Message, int SystemError)
      : Exception(Message), systemError_(SystemError) {}
  // The system's error number behind the failure; 0 when there is none
  // (a damaged archive, a short read at the end of a file).
  int SystemError() const { return systemError_; }

 private:
  int systemError_ = 0;
};

// Opening a file failed; the message names the file and the system's reason.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// "Cannot open file /a/b.txt: Permission denied", the reason left out when
// SystemError is 0: the message of an EFOpenError.
std::string OpenFailureText(const std::string& FileName, int SystemError);

inline constexpr const char* kStreamReadError = "Stream read error";
inline constexpr const char* kStreamWriteError = "Stream write error";

enum class SeekOrigin { Begin, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to Count bytes; fewer only at the end of the data.
  // A failing device throws EStreamError.
  virtual size_t Read(void* Buffer, size_t Count) = 0;
  // Writes Count bytes or throws EStreamError.
  virtual size_t Write(const void* Buffer, size_t Count) = 0;
  // Throws EStreamError where the stream cannot seek (a pipe).
  virtual int64_t Seek(int64_t Offset, SeekOrigin Origin) = 0;
  virtual int64_t Position() const = 0;
  // Moves Count bytes forward; a stream that cannot seek reads them.
  virtual void Skip(int64_t Count);
  // Pushes buffered bytes to the device; throws EStreamError on failure.
  virtual void Flush() {}

  // Reads exactly Count bytes or throws "Stream read error".
  void ReadBuffer(void* Buffer, size_t Count);
  // Writes exactly Count bytes or throws "Stream write error".
  void WriteBuffer(const void* Buffer, size_t Count);
};

enum class TStandardHandle { Input, Output };

// A stream over an open file, which may be a pipe or a terminal.
// Reads and writes are buffered; Position counts the bytes passed through
// this object, starting from the file's offset when it can seek.
class THandleStream : public TStream {
 public:
  // The process's standard input or output, left open at the end.
  explicit THandleStream(TStandardHandle Which);
  explicit THandleStream(platform::File File);
  ~THandleStream() override;
  THandleStream(const THandleStream&) = delete;
  THandleStream& operator=(const THandleStream&) = delete;

  size_t Read(void* Buffer, size_t Count) override;
  size_t Write(const void* Buffer, size_t Count) override;
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override;
  int64_t Position() const override { return position_; }
  void Skip(int64_t Count) override;
  void Flush() override;

  // The file beneath; not valid once closed.
  const platform::File& OpenFile() const { return *file_; }
  platform::File& OpenFile() { return *file_; }
  bool CanSeek() const { return seekable_; }
  // For a new file that is written front to back: a write of nothing but
  // zeros moves past them instead, so long zero runs become holes where
  // the file system has them. Reads give the same bytes either way.
  void WriteZerosAsHoles(bool On) { zerosAsHoles_ = On; }
  // Flushes and closes an owned file; throws "Stream write error" when the
  // last bytes or the close itself fail (a full disk shows here).
  void Close();

 protected:
  THandleStream();
  // For a file just opened, at offset 0.
  void Attach(platform::File File);

 private:
  void DropReadAhead();
  size_t ReadDirect(void* Buffer, size_t Count);

  static constexpr size_t kBufferSize = 64 * 1024;
  std::unique_ptr<platform::File> file_;
  bool seekable_ = false;
  bool zerosAsHoles_ = false;
  // Zeros were passed over at the end: the file is shorter than position_
  // and the descriptor's offset lags until Flush makes them a hole.
  bool holeAtEnd_ = false;
  int64_t position_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;  // kBufferSize bytes, not cleared
  size_t readPos_ = 0;                       // next unread byte of read-ahead in buffer_
  size_t readEnd_ = 0;                       // end of read-ahead in buffer_
  size_t writeEnd_ = 0;                      // pending output bytes in buffer_
};

class TFileStream : public THandleStream {
 public:
  enum TMode {
    fmOpenRead,   // existing file, read only, others may read and write
    fmCreate,     // new or truncated file, read and write
    fmOpenWrite,  // existing file, write only, not truncated
  };
  // Throws EFOpenError "Cannot open file <name>". With FollowLinks false a
  // symbolic link as the last component is refused rather than opened.
  TFileStream(const std::string& FileName, TMode Mode, bool FollowLinks = true);
  // Takes over Open, a regular file open for writing at offset 0 (made
  // elsewhere, under a name of its own); FileName is the name it stands for.
  TFileStream(platform::File Open, const std::string& FileName);

  const std::string& FileName() const { return fileName_; }
  int64_t Size();

 private:
  std::string fileName_;
};

class TMemoryStream : public TStream {
 public:
  size_t Read(void* Buffer, size_t Count) override;
  size_t Write(const void* Buffer, size_t Count) override;
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override;
  int64_t Position() const override { return position_; }

  const std::vector<unsigned char>& Data() const { return data_; }
  std::string Text() const { return std::string(data_.begin(), data_.end()); }
  void Clear() {
    data_.clear();
    position_ = 0;
  }

 private:
  std::vector<unsigned char> data_;
  int64_t position_ = 0;
};

}  // namespace kelmora
