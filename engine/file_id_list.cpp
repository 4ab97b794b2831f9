// SPDX-License-Identifier: GPL-3.0-or-later
//
// The file-ID list (engine/file_id_list.h).
#include "engine/file_id_list.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "engine/archive_format.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

namespace format {

namespace {

std::string QuotedPath(const std::string& Path) {
  std::string out = "\"";
  for (const char c : Path) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '"':
      case '\\':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
    }
  }
  return out + '"';
}

// Reads a quoted path from the start of Line; End is set after its closing
// quote. False for an unknown escape or a missing closing quote.
bool UnquotePath(const std::string& Line, std::string& Path, size_t& End) {
  Path.clear();
  for (size_t i = 1; i < Line.size(); ++i) {
    const char c = Line[i];
    if (c == '"') {
      End = i + 1;
      return true;
    }
    if (c != '\\') {
      Path += c;
      continue;
    }
    if (++i == Line.size()) return false;
    switch (Line[i]) {
      case 't':
        Path += '\t';
        break;
      case 'r':
        Path += '\r';
        break;
      case 'n':
        Path += '\n';
        break;
      case '"':
      case '\\':
        Path += Line[i];
        break;
      default:
        return false;
    }
  }
  return false;
}

bool ParseDecimal(const std::string& Text, int64_t& Value) {
  size_t i = Text.size() > 1 && Text[0] == '-' ? 1 : 0;
  if (i == Text.size() || Text.size() > 20) return false;
  int64_t v = 0;
  for (; i < Text.size(); ++i) {
    if (Text[i] < '0' || Text[i] > '9' || v > (INT64_MAX - 9) / 10) return false;
    v = v * 10 + (Text[i] - '0');
  }
  Value = Text[0] == '-' ? -v : v;
  return true;
}

}  // namespace

std::string FileIdLine(const std::string& Path, int32_t Stamp, int64_t Size) {
  const bool quoted = Path.find_first_of("\t\r\n") != std::string::npos;
  return (quoted ? QuotedPath(Path) : Path) + '\t' + std::to_string(Stamp) + '=' +
         std::to_string(Size);
}

bool ParseFileIdLine(const std::string& Line, FileIdEntry& Entry) {
  size_t tab = 0;
  if (!Line.empty() && Line[0] == '"') {
    if (!UnquotePath(Line, Entry.Path, tab) || tab >= Line.size() || Line[tab] != '\t')
      return false;
  } else {
    tab = Line.rfind('\t');
    if (tab == std::string::npos) return false;
    Entry.Path = Line.substr(0, tab);
  }
  const size_t equals = Line.find('=', tab);
  if (equals == std::string::npos) return false;
  int64_t stamp = 0;
  if (!ParseDecimal(Line.substr(tab + 1, equals - tab - 1), stamp) || stamp < INT32_MIN ||
      stamp > INT32_MAX)
    return false;
  if (!ParseDecimal(Line.substr(equals + 1), Entry.Size) || Entry.Size < 0) return false;
  Entry.Stamp = static_cast<int32_t>(stamp);
  return true;
}

bool LooksLikeFileIdList(std::string_view Head) {
  size_t at = 0;
  for (size_t end; (end = Head.find("\r\n", at)) != std::string_view::npos; at = end + 2) {
    FileIdEntry entry;
    if (!ParseFileIdLine(std::string(Head.substr(at, end - at)), entry)) return false;
  }
  // A line cut short by the end of Head, or by the run's end.
  const std::string_view rest = Head.substr(at);
  return rest.empty() || rest[0] == '/' || rest[0] == '"' ||
         (std::isalpha(static_cast<unsigned char>(rest[0])) &&
          (rest.size() == 1 || rest[1] == ':'));
}

}  // namespace format

void FileIdListWriter::Add(const std::string& Path, int32_t Stamp, int64_t Size) {
  text_ += format::FileIdLine(Path, Stamp, Size);
  text_ += "\r\n";
}

size_t FileIdListWriter::Save() {
  // A running backup holds its own list; only abandoned ones go.
  platform::RemoveAbandonedTempFiles(format::kTempFilePrefix, format::LooksLikeFileIdList);
  int error = 0;
  name_ = platform::CreateTempFile(format::kTempFilePrefix, &error);
  if (name_.empty()) throw EStreamError(kStreamWriteError, error);
  TFileStream list(name_, TFileStream::fmCreate);
  list.WriteBuffer(text_.data(), text_.size());
  list.Close();
  const size_t written = text_.size();
  text_ = std::string();
  return written;
}

void FileIdListWriter::Remove() {
  if (!name_.empty() && platform::FileExists(name_)) platform::DeleteFile(name_);
  name_.clear();
}

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
