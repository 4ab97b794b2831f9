// SPDX-License-Identifier: GPL-3.0-or-later
//
// A source file as the backup reads it: opened read-only, read in whole
// pieces straight into the caller's buffer.
//
// TFileStream would do, but it reads ahead into a buffer of its own, which
// costs a copy of every byte and a fresh 64 KiB buffer for each of
// thousands of small files; here a piece is the natural unit already.
#pragma once

#include <cstdint>
#include <string>

#include "kelmora/streams.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace kelmora {

class SourceFile : public TStream {
 public:
  // Throws EFOpenError "Cannot open file <name>: <reason>". Anything but a regular
  // file is refused: a FIFO put in a file's place must not block the run,
  // which the platform's open without waiting for a partner sees to.
  explicit SourceFile(const std::string& Path)
      : file_(platform::File::Open(Path, platform::OpenMode::Read, true, &opened_)) {
    int error = file_.LastError();
    if (file_.Valid() && opened_.Kind != platform::FileKind::Regular) {
      error = file_.LastError();
      file_.Close();
      file_ = platform::File();
    }
    if (!file_.Valid()) throw EFOpenError(OpenFailureText(Path, error).c_str(), error);
  }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Fills Buffer unless the file ends first; throws "Stream read error"
  // when the device fails, so that an error never looks like an end.
  size_t Read(void* Buffer, size_t Count) override {
    auto* out = static_cast<unsigned char*>(Buffer);
    size_t done = 0;
    while (done < Count) {
      const int64_t n = file_.Read(out + done, Count - done);
      if (n < 0) throw EStreamError(kStreamReadError, file_.LastError());
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    position_ += static_cast<int64_t>(done);
    return done;
  }
  size_t Write(const void*, size_t) override { throw EStreamError(kStreamWriteError); }
  int64_t Seek(int64_t, SeekOrigin) override { throw EStreamError(kStreamReadError); }
  int64_t Position() const override { return position_; }

  // The size and the packed last-write time (-1 when it has none) the
  // file had when it was opened.
  int64_t Size() const { return opened_.Size; }
  int32_t Stamp() const { return platform::PackTime(opened_.ModifiedSeconds); }
  int64_t ModifiedNs() const { return opened_.ModifiedNs(); }

  // What the file is now (mode, owner, time, links), from its handle.
  // Once Unchanged has looked, what it saw: the file is asked once fewer.
  int ReadMetadata(platform::PathMetadata& Metadata) {
    if (checked_) {
      Metadata = now_;
      return 0;
    }
    return platform::ReadOpenMetadata(file_, Metadata);
  }

  // True while neither the size nor the modification time (to the
  // nanosecond) differs from what they were at the open.
  bool Unchanged() {
    checked_ = platform::ReadOpenMetadata(file_, now_) == 0;
    return checked_ && now_.Size == opened_.Size &&
           now_.ModifiedSeconds == opened_.ModifiedSeconds &&
           static_cast<int32_t>(now_.ModifiedNanoseconds) == opened_.ModifiedNanoseconds;
  }

 private:
  // Before file_: opening the file fills it in.
  platform::FileState opened_;
  platform::File file_;
  int64_t position_ = 0;
  platform::PathMetadata now_;
  bool checked_ = false;
};

}  // namespace kelmora
