// The file-ID list as a reader takes it in: the one part of an archive a
// reader inflates into memory, so it is cut into lines as it arrives and
// bounded (format::kMaxFileIdListBytes and the line limits). A small
// damaged or hostile archive could otherwise inflate to gigabytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "kelmora/streams.h"

namespace kelmora {

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
