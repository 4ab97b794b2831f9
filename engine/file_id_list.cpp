#include "engine/file_id_list.h"

#include <cstring>
#include <utility>

#include "engine/archive_format.h"

namespace kelmora {

size_t FileIdListSink::Write(const void* Buffer, size_t Count) {
  total_ += Count;
  if (total_ > format::kMaxFileIdListBytes)
    throw FileIdListTooLarge("the file-ID list is larger than 64 MiB");
  // Whole runs between line feeds at a time: a list of tens of megabytes
  // goes through here, and byte by byte is slow.
  const char* at = static_cast<const char*>(Buffer);
  const char* const end = at + Count;
  while (at < end) {
    const char* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
    const char* stop = feed ? feed : end;
    if (line_.size() + (stop - at) > format::kMaxFileIdLineBytes)
      throw FileIdListTooLarge("a line of the file-ID list is longer than 64 KiB");
    line_.append(at, stop);
    if (feed) EndLine();
    at = feed ? feed + 1 : end;
  }
  return Count;
}

void FileIdListSink::Finish() {
  if (!line_.empty()) EndLine();
}

void FileIdListSink::EndLine() {
  if (++lines_ > format::kMaxFileIdLines)
    throw FileIdListTooLarge("the file-ID list has more than 2,097,152 lines");
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  onLine_(std::move(line_));
  line_.clear();
}

void SkipRestOfSection(TStream& Source) {
  for (int32_t length = format::ReadChunkLength(Source); length != 0;
       length = format::ReadChunkLength(Source))
    Source.Skip(length < 0 ? -static_cast<int64_t>(length) : length);
}

}  // namespace kelmora
