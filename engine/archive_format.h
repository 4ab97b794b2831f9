// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one definition of the archive's records. The writer and both readers
// use these and nothing else to put bytes on or take bytes off a stream.
//
//   header        int32 title length, title, int32 total size, int32 file count
//   record        int32 name length (0 = end marker), name
//   file entry    name, int32 packed time stamp, data section
//   data section  "EC2\0", chunk records, int32 0
//   chunk record  int32 L (>0 zlib stream, <0 stored bytes), |L| bytes, |L| <= 16384
//   volume change name "NEXT:DISKnnn", nothing after it in that volume
//
// Every integer is a little-endian int32; strings carry no terminator.
#pragma once

#include <cstdint>
#include <string>

// The file-ID list's line format and bounds, with the list's own reading
// and writing.
#include "engine/file_id_list.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"

namespace kelmora::format {

inline constexpr int32_t kPieceSize = 16384;
// A new chunk starts only while the volume holds fewer than MaxSize - this.
inline constexpr int32_t kVolumeReserve = kPieceSize + 100;
// kSmallestVolumeSize is the smallest volume limit at which a fresh volume,
// holding only a section signature, can take a chunk. Below it every volume
// would end empty and the next one too, so a writer refuses such a limit.
static_assert(kSmallestVolumeSize == kVolumeReserve + 4 + 1);
inline constexpr char kSectionSignature[4] = {'E', 'C', '2', '\0'};
inline constexpr const char* kFileListName = "FILE:LIST";
inline constexpr const char* kVolumeChangePrefix = "NEXT:DISK";
inline constexpr size_t kVolumeChangePrefixLength = 9;
inline constexpr int32_t kVolumeChangeNameLength = 12;
inline constexpr int kMaxVolumes = 999;
inline constexpr const char* kTempFilePrefix = "FID";
inline constexpr const char* kInvalidArchive = "Invalid archive type";
// Names and titles longer than this are taken for damage, not allocated.
inline constexpr int32_t kMaxNameLength = 1 << 20;

struct Header {
  std::string Title;
  int32_t TotalSize = 0;
  int32_t FileCount = 0;
};

// The header's total-size field is an int32; larger totals are capped.
int32_t CapTotalSize(int64_t TotalSize);

void WriteInt32(TStream& Stream, int32_t Value);
// Little-endian, as every integer in the archive is stored. Inline: the
// search after damage calls it at every byte.
inline int32_t Int32At(const unsigned char* Bytes) {
  return static_cast<int32_t>(
      static_cast<uint32_t>(Bytes[0]) | static_cast<uint32_t>(Bytes[1]) << 8 |
      static_cast<uint32_t>(Bytes[2]) << 16 | static_cast<uint32_t>(Bytes[3]) << 24);
}
void PutInt32(unsigned char* Bytes, int32_t Value);
int32_t ReadInt32(TStream& Stream);  // throws "Stream read error" at the end

// Length-prefixed string.
void WriteString(TStream& Stream, const std::string& Value);
// Reads Length bytes; a negative or absurd length is an invalid archive.
std::string ReadChars(TStream& Stream, int32_t Length);

void WriteHeader(TStream& Stream, const Header& Value);
Header ReadHeader(TStream& Stream);
// The same, field by field into Into: what was read before a failure stays.
void ReadHeader(TStream& Stream, Header& Into);

bool IsVolumeChangeName(const std::string& Name);
bool IsFileListName(const std::string& Name);
// "NEXT:DISK" and the last three digits of Volume.
std::string VolumeChangeName(unsigned Volume);
// The three characters after "NEXT:DISK" ("002"); empty when missing.
std::string VolumeDigits(const std::string& VolumeChangeName);
// The volume number those digits stand for, or -1 when they are no number.
int VolumeNumber(const std::string& Digits);
void WriteVolumeChange(TStream& Stream, unsigned Volume);

// The name of the next volume: the extension (after the last "." that
// follows the last "/", "\" or ":") replaced by "." and Digits, or
// appended when there is none. backup.bkp -> backup.002.
std::string NextVolumeName(const std::string& Name, const std::string& Digits);
// The file name of volume Volume of the archive whose first volume is
// First: First itself for volume 1.
std::string VolumeName(const std::string& First, unsigned Volume);

void WriteSignature(TStream& Stream);
// Throws Exception("Invalid archive type") unless the next four bytes
// are the signature.
void ReadSignature(TStream& Stream);
// A chunk length or the terminator 0. A magnitude above 16384 can only
// come from damage and is refused before it can size a read.
int32_t ReadChunkLength(TStream& Stream);

}  // namespace kelmora::format
