// SPDX-License-Identifier: GPL-3.0-or-later
//
// Where a backup's archive bytes go on their way to a volume file or the
// caller's stream, and how a failure to take them is told apart from a
// source file's failures.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "kelmora/streams.h"
#include "platform/file.h"

namespace kelmora {

// A failure to write the archive, told apart from a source's failures:
// a buffered write can surface at any later record, a file's name or time
// stamp included, and must still be reported as the archive's.
class EArchiveWrite : public EStreamError {
 public:
  explicit EArchiveWrite(int SystemError) : EStreamError(kStreamWriteError, SystemError) {}
};

// Every archive byte passes through here on its way to the volume file or
// the caller's stream, so every failure to take it is an EArchiveWrite.
class ArchiveSink : public TStream {
 public:
  void Attach(TStream* Target) { target_ = Target; }

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void* Buffer, size_t Count) override {
    try {
      return target_->Write(Buffer, Count);
    } catch (const EStreamError& e) {
      throw EArchiveWrite(e.SystemError());
    } catch (const std::exception&) {
      throw EArchiveWrite(0);
    }
  }
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override { return target_->Seek(Offset, Origin); }
  int64_t Position() const override { return target_->Position(); }
  void Flush() override {
    try {
      target_->Flush();
    } catch (const EStreamError& e) {
      throw EArchiveWrite(e.SystemError());
    } catch (const std::exception&) {
      throw EArchiveWrite(0);
    }
  }

 private:
  TStream* target_ = nullptr;
};

// Gathers the records and chunks of a volume file into large writes. The
// file stream's own buffer is sized for small files; for an archive of
// hundreds of megabytes, writing a megabyte at a time costs the system
// markedly less than 64 KiB at a time.
class GatheredVolume : public TStream {
 public:
  // Takes over an open file, to write on from where it stands.
  void Open(std::unique_ptr<THandleStream> File) {
    file_ = std::move(File);
    used_ = 0;
    Allocate();
  }
  // Opens a volume written earlier again, to go on from Position.
  void Reopen(const std::string& FileName, int64_t Position) {
    file_ = std::make_unique<TFileStream>(FileName, TFileStream::fmOpenWrite, false);
    used_ = 0;
    Allocate();
    CutAt(Position);
  }
  // Drops every byte from Position on and writes on from there.
  void CutAt(int64_t Position) {
    Flush();  // nothing buffered may land past the cut afterwards
    if (!file_->OpenFile().Resize(Position))
      throw EStreamError(kStreamWriteError, file_->OpenFile().LastError());
    file_->Seek(Position, SeekOrigin::Begin);
  }

  // Hands the file over open, every byte written reaching it first;
  // throws EStreamError when they do not.
  // Failing, it keeps the file, for Close to end.
  std::unique_ptr<THandleStream> Detach() {
    Flush();
    return std::move(file_);
  }

  // Closes the file: 0 when every byte reached it, else the error number.
  int Close() {
    if (!file_) return 0;
    int error = 0;
    try {
      Drain();
      file_->Close();
    } catch (const EStreamError& e) {
      error = e.SystemError() != 0 ? e.SystemError() : EIO;
    }
    file_.reset();
    used_ = 0;
    return error;
  }

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void* Buffer, size_t Count) override {
    if (used_ + Count > kSize) Drain();
    if (Count >= kSize) {
      file_->WriteBuffer(Buffer, Count);
    } else {
      std::memcpy(buffer_.get() + used_, Buffer, Count);
      used_ += Count;
    }
    return Count;
  }
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override {
    if (Origin == SeekOrigin::Current && Offset == 0) return Position();
    throw EStreamError(kStreamWriteError);
  }
  int64_t Position() const override { return file_->Position() + static_cast<int64_t>(used_); }
  void Flush() override {
    Drain();
    file_->Flush();
  }

 private:
  void Drain() {
    const size_t pending = used_;
    used_ = 0;  // a failed write is not tried again
    file_->WriteBuffer(buffer_.get(), pending);
  }
  // Uncleared: only bytes written are ever read from it, and clearing a
  // megabyte costs a small backup more than its own writing.
  void Allocate() {
    if (!buffer_) buffer_.reset(new unsigned char[kSize]);
  }

  static constexpr size_t kSize = size_t{1} << 20;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t used_ = 0;
  std::unique_ptr<THandleStream> file_;
};

}  // namespace kelmora
