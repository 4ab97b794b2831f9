// SPDX-License-Identifier: GPL-3.0-or-later

#include "kelmora/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/assertions.h"
#include "platform/file.h"

namespace kelmora {

namespace {

// A run shorter than a file-system block could not become a hole anyway.
constexpr size_t kShortestHole = 4096;

bool IsAllZero(const unsigned char* Bytes, size_t Count) {
  // Each byte equal to the next, and the first one zero.
  return Count != 0 && Bytes[0] == 0 && std::memcmp(Bytes, Bytes + 1, Count - 1) == 0;
}

}  // namespace

void TStream::Skip(int64_t Count) {
  if (Count > 0) Seek(Count, SeekOrigin::Current);
}

void TStream::ReadBuffer(void* Buffer, size_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError(kStreamReadError);
}

void TStream::WriteBuffer(const void* Buffer, size_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError(kStreamWriteError);
}

// ---------------------------------------------------------------- handle

THandleStream::THandleStream() = default;

THandleStream::THandleStream(TStandardHandle Which)
    : THandleStream(Which == TStandardHandle::Input ? platform::File::StandardInput()
                                                    : platform::File::StandardOutput()) {}

THandleStream::THandleStream(platform::File File) {
  const bool seekable = File.CanSeek();
  const int64_t at = seekable ? File.Seek(0, platform::SeekFrom::Current) : 0;
  Attach(std::move(File));
  position_ = at > 0 ? at : 0;
}

void THandleStream::Attach(platform::File File) {
  KELMORA_ASSERT(File.Valid());
  seekable_ = File.CanSeek();
  file_ = std::make_unique<platform::File>(std::move(File));
  position_ = 0;
  buffer_.reset(new unsigned char[kBufferSize]);
}

THandleStream::~THandleStream() {
  try {
    Close();
  } catch (const EStreamError&) {
    // A destructor cannot report; callers that care call Close() first.
  }
}

void THandleStream::Close() {
  if (!file_ || !file_->Valid()) return;
  int error = 0;
  try {
    Flush();
  } catch (const EStreamError& e) {
    error = e.SystemError() != 0 ? e.SystemError() : EIO;
  }
  if (!file_->Close() && error == 0) error = file_->LastError();
  // Closed, it reads and writes nothing more: its buffer goes now, not with
  // the object (a restore holds hundreds of closed files until their batch
  // is put in place).
  buffer_.reset();
  readPos_ = readEnd_ = 0;
  if (error != 0) throw EStreamError(kStreamWriteError, error);
}

void THandleStream::DropReadAhead() {
  // Bytes read ahead but not consumed belong after Position on the device.
  if (readEnd_ > readPos_ && seekable_) file_->Seek(position_, platform::SeekFrom::Begin);
  readPos_ = readEnd_ = 0;
}

size_t THandleStream::ReadDirect(void* Buffer, size_t Count) {
  const int64_t n = file_->Read(Buffer, Count);
  if (n < 0) throw EStreamError(kStreamReadError, file_->LastError());
  return static_cast<size_t>(n);
}

size_t THandleStream::Read(void* Buffer, size_t Count) {
  if (!file_ || !file_->Valid()) throw EStreamError(kStreamReadError);
  if (writeEnd_ != 0 || holeAtEnd_) Flush();
  auto* out = static_cast<unsigned char*>(Buffer);
  size_t done = 0;
  while (done < Count) {
    if (readPos_ == readEnd_) {
      // Large reads go straight to the caller's buffer.
      if (Count - done >= kBufferSize) {
        const size_t n = ReadDirect(out + done, Count - done);
        if (n == 0) break;
        done += n;
        position_ += static_cast<int64_t>(n);
        continue;
      }
      readPos_ = 0;
      readEnd_ = ReadDirect(buffer_.get(), kBufferSize);
      if (readEnd_ == 0) break;
    }
    const size_t take = std::min(Count - done, readEnd_ - readPos_);
    std::memcpy(out + done, buffer_.get() + readPos_, take);
    readPos_ += take;
    done += take;
    position_ += static_cast<int64_t>(take);
  }
  return done;
}

size_t THandleStream::Write(const void* Buffer, size_t Count) {
  if (!file_ || !file_->Valid()) throw EStreamError(kStreamWriteError);
  if (readEnd_ != 0) DropReadAhead();
  const auto* in = static_cast<const unsigned char*>(Buffer);
  if (zerosAsHoles_ && seekable_ && Count >= kShortestHole && IsAllZero(in, Count)) {
    if (writeEnd_ != 0) Flush();
    position_ += static_cast<int64_t>(Count);
    holeAtEnd_ = true;
    return Count;
  }
  if (holeAtEnd_ || writeEnd_ + Count > kBufferSize) Flush();
  if (Count >= kBufferSize) {
    if (!file_->Write(in, Count)) throw EStreamError(kStreamWriteError, file_->LastError());
  } else {
    std::memcpy(buffer_.get() + writeEnd_, in, Count);
    writeEnd_ += Count;
  }
  position_ += static_cast<int64_t>(Count);
  return Count;
}

void THandleStream::Flush() {
  const size_t pending = writeEnd_;
  writeEnd_ = 0;  // a failed write is not tried again
  if (pending != 0 && !file_->Write(buffer_.get(), pending))
    throw EStreamError(kStreamWriteError, file_->LastError());
  if (holeAtEnd_) {
    holeAtEnd_ = false;
    if (!file_->ExtendTo(position_)) throw EStreamError(kStreamWriteError, file_->LastError());
  }
}

int64_t THandleStream::Seek(int64_t Offset, SeekOrigin Origin) {
  if (Origin == SeekOrigin::Current && Offset == 0) return position_;
  if (!seekable_) throw EStreamError(kStreamReadError);
  Flush();
  int64_t target = Offset;
  if (Origin == SeekOrigin::Current) target = position_ + Offset;
  if (Origin == SeekOrigin::End) {
    const int64_t end = file_->Seek(0, platform::SeekFrom::End);
    if (end < 0) throw EStreamError(kStreamReadError, file_->LastError());
    target = end + Offset;
  }
  // Within the read-ahead, seeking is free. The search after damage looks
  // back and forth within a few kilobytes, and each look read the same
  // 64 KiB again: on a badly damaged archive most reads were such.
  const int64_t readAheadStart = position_ - static_cast<int64_t>(readPos_);
  if (readEnd_ != 0 && target >= readAheadStart &&
      target <= readAheadStart + static_cast<int64_t>(readEnd_)) {
    readPos_ = static_cast<size_t>(target - readAheadStart);
    position_ = target;
    return position_;
  }
  if (target < 0 || file_->Seek(target, platform::SeekFrom::Begin) < 0)
    throw EStreamError(kStreamReadError, file_->LastError());
  readPos_ = readEnd_ = 0;
  position_ = target;
  return position_;
}

void THandleStream::Skip(int64_t Count) {
  if (Count <= 0) return;
  // Within the read-ahead, skipping is free.
  const size_t buffered = readEnd_ - readPos_;
  if (static_cast<uint64_t>(Count) <= buffered) {
    readPos_ += static_cast<size_t>(Count);
    position_ += Count;
    return;
  }
  if (seekable_) {
    Seek(Count, SeekOrigin::Current);
    return;
  }
  // A pipe: read and drop.
  unsigned char scratch[16384];
  while (Count > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(Count, sizeof scratch));
    const size_t n = Read(scratch, want);
    if (n == 0) throw EStreamError(kStreamReadError);
    Count -= static_cast<int64_t>(n);
  }
}

// ---------------------------------------------------------------- file

namespace {

platform::OpenMode OpenModeOf(TFileStream::TMode Mode) {
  switch (Mode) {
    case TFileStream::fmCreate:
      return platform::OpenMode::Create;
    case TFileStream::fmOpenWrite:
      return platform::OpenMode::Write;
    default:
      return platform::OpenMode::Read;
  }
}

}  // namespace

std::string OpenFailureText(const std::string& FileName, int SystemError) {
  std::string text = "Cannot open file " + FileName;
  if (SystemError != 0) text += ": " + platform::ErrorText(SystemError);
  return text;
}

TFileStream::TFileStream(const std::string& FileName, TMode Mode, bool FollowLinks)
    : fileName_(FileName) {
  platform::File file = platform::File::Open(FileName, OpenModeOf(Mode), FollowLinks);
  if (!file.Valid())
    throw EFOpenError(OpenFailureText(FileName, file.LastError()).c_str(), file.LastError());
  Attach(std::move(file));
}

TFileStream::TFileStream(platform::File Open, const std::string& FileName) : fileName_(FileName) {
  Attach(std::move(Open));
}

int64_t TFileStream::Size() {
  Flush();
  platform::FileState state;
  if (!OpenFile().Valid() || !OpenFile().State(state))
    throw EStreamError(kStreamReadError, OpenFile().LastError());
  return state.Size;
}

// ---------------------------------------------------------------- memory

size_t TMemoryStream::Read(void* Buffer, size_t Count) {
  const int64_t size = static_cast<int64_t>(data_.size());
  if (position_ >= size) return 0;
  const size_t take = static_cast<size_t>(std::min<int64_t>(Count, size - position_));
  std::memcpy(Buffer, data_.data() + position_, take);
  position_ += static_cast<int64_t>(take);
  return take;
}

size_t TMemoryStream::Write(const void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  const size_t end = static_cast<size_t>(position_) + Count;
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, Buffer, Count);
  position_ = static_cast<int64_t>(end);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, SeekOrigin Origin) {
  int64_t target = Offset;
  if (Origin == SeekOrigin::Current) target = position_ + Offset;
  if (Origin == SeekOrigin::End) target = static_cast<int64_t>(data_.size()) + Offset;
  if (target < 0) throw EStreamError(kStreamReadError);
  position_ = target;
  return position_;
}

}  // namespace kelmora
