// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/archive_format.h"

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

}  // namespace kelmora::format
