#include "engine/archive_format.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kelmora::format {

int32_t CapTotalSize(int64_t TotalSize) {
  if (TotalSize > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (TotalSize < 0) return 0;
  return static_cast<int32_t>(TotalSize);
}

void PutInt32(unsigned char* Bytes, int32_t Value) {
  const uint32_t v = static_cast<uint32_t>(Value);
  for (int i = 0; i < 4; ++i) Bytes[i] = static_cast<unsigned char>(v >> (8 * i));
}

void WriteInt32(TStream& Stream, int32_t Value) {
  unsigned char bytes[4];
  PutInt32(bytes, Value);
  Stream.WriteBuffer(bytes, 4);
}

int32_t ReadInt32(TStream& Stream) {
  unsigned char bytes[4];
  Stream.ReadBuffer(bytes, 4);
  return Int32At(bytes);
}

void WriteString(TStream& Stream, const std::string& Value) {
  WriteInt32(Stream, static_cast<int32_t>(Value.size()));
  Stream.WriteBuffer(Value.data(), Value.size());
}

std::string ReadChars(TStream& Stream, int32_t Length) {
  if (Length < 0 || Length > kMaxNameLength) throw Exception(kInvalidArchive);
  std::string s(static_cast<size_t>(Length), '\0');
  Stream.ReadBuffer(s.data(), s.size());
  return s;
}

void WriteHeader(TStream& Stream, const Header& Value) {
  WriteString(Stream, Value.Title);
  WriteInt32(Stream, Value.TotalSize);
  WriteInt32(Stream, Value.FileCount);
}

void ReadHeader(TStream& Stream, Header& Into) {
  Into.Title = ReadChars(Stream, ReadInt32(Stream));
  Into.TotalSize = ReadInt32(Stream);
  Into.FileCount = ReadInt32(Stream);
}

Header ReadHeader(TStream& Stream) {
  Header h;
  ReadHeader(Stream, h);
  return h;
}

bool IsVolumeChangeName(const std::string& Name) {
  return Name.compare(0, kVolumeChangePrefixLength, kVolumeChangePrefix) == 0;
}

bool IsFileListName(const std::string& Name) {
  return Name == kFileListName;
}

std::string VolumeChangeName(unsigned Volume) {
  const std::string number = "00" + std::to_string(Volume);
  return kVolumeChangePrefix + number.substr(number.size() - 3);
}

std::string VolumeDigits(const std::string& Name) {
  if (Name.size() < kVolumeChangePrefixLength + 3) return {};
  return Name.substr(kVolumeChangePrefixLength, 3);
}

int VolumeNumber(const std::string& Digits) {
  if (Digits.size() != 3) return -1;
  int n = 0;
  for (const char c : Digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

void WriteVolumeChange(TStream& Stream, unsigned Volume) {
  WriteString(Stream, VolumeChangeName(Volume));
}

std::string NextVolumeName(const std::string& Name, const std::string& Digits) {
  const size_t folderEnd = Name.find_last_of("/\\:");
  const size_t dot = Name.find_last_of('.');
  const bool hasExtension =
      dot != std::string::npos && (folderEnd == std::string::npos || dot > folderEnd);
  return (hasExtension ? Name.substr(0, dot) : Name) + "." + Digits;
}

std::string VolumeName(const std::string& First, unsigned Volume) {
  if (Volume <= 1) return First;
  return NextVolumeName(First, VolumeDigits(VolumeChangeName(Volume)));
}

void WriteSignature(TStream& Stream) {
  Stream.WriteBuffer(kSectionSignature, 4);
}

void ReadSignature(TStream& Stream) {
  char b[4];
  Stream.ReadBuffer(b, 4);
  if (std::memcmp(b, kSectionSignature, 4) != 0) throw Exception(kInvalidArchive);
}

int32_t ReadChunkLength(TStream& Stream) {
  const int32_t length = ReadInt32(Stream);
  if (length > kPieceSize || length < -kPieceSize) throw Exception(kInvalidArchive);
  return length;
}

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

}  // namespace kelmora::format
