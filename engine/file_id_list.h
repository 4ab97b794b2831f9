// SPDX-License-Identifier: GPL-3.0-or-later
//
// The file-ID list, the archive's first entry on request: a line for each
// file with its time stamp and size. Its one line format, the backup's
// writing of it, and a reader's bounded taking in.
//
// It is the one part of an archive a reader inflates into memory, so it is
// cut into lines as it arrives and bounded (format::kMaxFileIdListBytes and
// the line limits). A small damaged or hostile archive could otherwise
// inflate to gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "kelmora/streams.h"

namespace kelmora {

namespace format {

// One line of the file-ID list, without its CR LF: the path, a TAB, the
// time stamp, "=" and the size. A path holding a TAB, CR or LF would break
// the line or the list, so such a path alone is written in double quotes
// with C escapes (\t \r \n \" \\). No path as stored begins with a quote
// (it begins with "/" or a drive), so every other line reads as it always
// has, and a reader that knows nothing of quotes still finds one line per
// file with its time stamp and size after the last TAB.
std::string FileIdLine(const std::string& Path, int32_t Stamp, int64_t Size);

// The parts of such a line; false for a line of any other form.
struct FileIdEntry {
  std::string Path;
  int32_t Stamp = 0;
  int64_t Size = 0;
};
bool ParseFileIdLine(const std::string& Line, FileIdEntry& Entry);
// Whether Head, the first bytes of a file, can be the start of a file-ID
// list (an empty one included): every whole line parses, and what follows
// the last one begins as a stored path does.
bool LooksLikeFileIdList(std::string_view Head);

// A file-ID list beyond these is taken for damage, never held in memory.
// The line count bounds what the lines cost beside their text.
inline constexpr size_t kMaxFileIdListBytes = size_t{64} << 20;
inline constexpr size_t kMaxFileIdLineBytes = size_t{64} << 10;
inline constexpr size_t kMaxFileIdLines = size_t{2} << 20;

}  // namespace format

// The list as a backup makes it: a line for each file as it is measured,
// then the text written to a temporary file, stored as the archive's first
// entry and removed when the run ends.
class FileIdListWriter {
 public:
  FileIdListWriter() = default;
  ~FileIdListWriter() { Remove(); }
  FileIdListWriter(const FileIdListWriter&) = delete;
  FileIdListWriter& operator=(const FileIdListWriter&) = delete;

  void Add(const std::string& Path, int32_t Stamp, int64_t Size);
  // Writes the lines to a new temporary file, removing first those of
  // backups killed before they removed theirs, and lets go of the text:
  // the bytes written. Throws EStreamError; FileName() then names the file
  // when there is one.
  size_t Save();
  // The temporary file, once made; "" before.
  const std::string& FileName() const { return name_; }
  void Remove();

 private:
  std::string text_;
  std::string name_;
};

// Raised by the sink when the list grows beyond its bounds.
class FileIdListTooLarge : public Exception {
 public:
  using Exception::Exception;
};

// Hands each line of the inflated text (CR LF or a bare LF at its end,
// removed) to OnLine as it arrives, so no copy of the whole text is made.
class FileIdListSink : public TStream {
 public:
  using LineEvent = std::function<void(std::string&& Line)>;
  explicit FileIdListSink(LineEvent OnLine) : onLine_(std::move(OnLine)) {}

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  int64_t Seek(int64_t, SeekOrigin) override { throw EStreamError(kStreamWriteError); }
  int64_t Position() const override { return static_cast<int64_t>(total_); }
  // Throws FileIdListTooLarge past the bounds.
  size_t Write(const void* Buffer, size_t Count) override;

  // The text's last line needs no line end.
  void Finish();

 private:
  void EndLine();

  LineEvent onLine_;
  std::string line_;
  size_t total_ = 0;
  size_t lines_ = 0;
};

// Steps over the rest of a data section whose reading stopped right after
// a whole chunk record: the chunk records up to and with its terminator.
void SkipRestOfSection(TStream& Source);

}  // namespace kelmora
