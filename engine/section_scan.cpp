// SPDX-License-Identifier: GPL-3.0-or-later
//
// Finding where a damaged archive can be read again. The archive has no
// index and no record marks, so after damage the only way on is to look at
// every following byte for something that reads as a record and whose data
// then checks out: a record that merely looks right is not enough, since a
// file's own bytes can look like anything.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/archive_format.h"
#include "engine/section_reader.h"

namespace kelmora {

namespace {

// Longer names exist, but an entry that follows damage is only found when
// its name is at most this long; the search must not read without bound.
constexpr size_t kMaxFoundName = 64 * 1024;
// Room for a record head of the longest name found: length, name, time
// stamp, signature.
constexpr size_t kLongestHead = 4 + kMaxFoundName + 4 + 4;
// A candidate whose head runs past the window has the window read again
// from it on. Twice the longest head means every candidate in the next
// stretch of that length fits, so bytes made to look like one long name
// after another cost a read per 64 KiB rather than one per candidate.
constexpr size_t kWindow = 2 * kLongestHead;
// Most searches land within a few records, and a badly damaged archive
// needs one after nearly every record, so the search reads a short stretch
// at a time and the longest head only for a candidate that needs it.
constexpr size_t kFirstLook = 16 * 1024;
// What the checks before a candidate's head look at, with room to spare.
constexpr size_t kMargin = 64;
constexpr size_t kVolumeChangeRecord = 4 + format::kVolumeChangeNameLength;

using format::Int32At;

bool IsVolumeChangeRecord(const unsigned char* Bytes) {
  if (Int32At(Bytes) != format::kVolumeChangeNameLength) return false;
  const char* name = reinterpret_cast<const char*>(Bytes + 4);
  if (std::memcmp(name, format::kVolumeChangePrefix, format::kVolumeChangePrefixLength) != 0)
    return false;
  const std::string digits(name + format::kVolumeChangePrefixLength, 3);
  return format::VolumeNumber(digits) >= 0;
}

// Fills Buffer with the bytes of Source from At on; fewer than asked only
// at the end of the volume (or where it cannot be read any further).
size_t ReadAt(TStream& Source, int64_t At, unsigned char* Buffer, size_t Size) {
  try {
    Source.Seek(At, SeekOrigin::Begin);
    size_t done = 0;
    while (done < Size) {
      const size_t n = Source.Read(Buffer + done, Size - done);
      if (n == 0) break;
      done += n;
    }
    return done;
  } catch (const EStreamError&) {
    return 0;
  }
}

}  // namespace

bool IsPlausibleStoredName(const std::string& Name) {
  if (Name.empty() || Name.find('\0') != std::string::npos) return false;
  if (format::IsFileListName(Name)) return true;
  if (Name[0] == '/' || Name[0] == '\\') return true;
  return Name.size() >= 3 && std::isalpha(static_cast<unsigned char>(Name[0])) && Name[1] == ':' &&
         (Name[2] == '\\' || Name[2] == '/');
}

bool SectionReader::ChunksFollow(TStream& Source, int64_t Body) {
  try {
    Source.Seek(Body, SeekOrigin::Begin);
    // Two chunks, or one and the section's end, are enough to tell an
    // entry from bytes that happen to look like its head.
    for (int chunk = 0; chunk < 2; ++chunk) {
      const int32_t length = format::ReadInt32(Source);
      if (length > format::kPieceSize || length < -format::kPieceSize) return false;
      if (length == 0) {
        // A chunk that read soundly and the terminator right after it are
        // proof enough, and so is an empty section (the signature and the
        // terminator right after it): the record after them may itself be
        // damaged, and asking more of it would lose this sound entry with it.
        return true;
      }
      const size_t size = static_cast<size_t>(length < 0 ? -static_cast<int64_t>(length) : length);
      Source.ReadBuffer(in_.get(), size);
      size_t produced = 0;
      if (length > 0 && !Inflate(size, produced, nullptr)) return false;
    }
    return true;
  } catch (const EStreamError&) {
    return false;
  }
}

Landing SectionReader::FindNextRecord(TStream& Source, int64_t From, int64_t Before) {
  // Left uncleared: only the bytes read are ever looked at.
  if (!window_) window_.reset(new unsigned char[kWindow]);
  unsigned char* const window = window_.get();
  int64_t base = From;
  size_t length = 0;
  bool atEnd = false;
  // Most offsets cannot begin an entry: a stored name begins with "/" or
  // "\", has ":" second (a drive) or is the file-ID list (":" fifth). The
  // search jumps from one place where such a byte stands to the next rather
  // than weighing every offset; where each of those bytes next stands is
  // kept, so every byte of the window is looked at about once. Offsets are
  // those of the window; kNone marks one not yet searched for.
  constexpr size_t kNone = SIZE_MAX;
  size_t nextSlash = kNone;
  size_t nextBackslash = kNone;
  size_t nextDriveColon = kNone;
  size_t nextListColon = kNone;
  // Reads Size bytes from At on into the window; short only at the end.
  const auto look = [&](int64_t At, size_t Size) {
    base = At;
    length = ReadAt(Source, base, window, Size);
    atEnd = length < Size;
    nextSlash = nextBackslash = nextDriveColon = nextListColon = kNone;
  };
  // The first offset at or after Start holding Byte, or the window's length.
  const auto find = [&](size_t& Cached, unsigned char Byte, size_t Start) {
    if (Cached == kNone || Cached < Start) {
      const void* hit =
          Start < length ? std::memchr(window + Start, Byte, length - Start) : nullptr;
      Cached = hit != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - window)
                              : length;
    }
    return Cached;
  };
  look(From, kFirstLook);
  for (int64_t at = From;; ++at) {
    if (at >= Before) return {Landing::NoneBefore, Before};
    if (!atEnd && static_cast<size_t>(at - base) + kMargin > length) look(at, kFirstLook);
    const size_t offset = static_cast<size_t>(at - base);
    // Up to where offsets may be passed over: the place the window is read
    // on from, or the last bytes of the volume, where an end marker or a
    // volume-change entry may stand and every offset is weighed.
    const size_t skipEnd = !atEnd                         ? length - kMargin + 1
                           : length > kVolumeChangeRecord ? length - kVolumeChangeRecord
                                                          : 0;
    if (offset < skipEnd) {
      size_t next =
          std::min(find(nextSlash, '/', offset + 4), find(nextBackslash, '\\', offset + 4)) - 4;
      const size_t driveColon = find(nextDriveColon, ':', offset + 5);
      if (driveColon < length) next = std::min(next, driveColon - 5);
      const size_t listColon = find(nextListColon, ':', offset + 8);
      if (listColon < length) next = std::min(next, listColon - 8);
      if (next > offset) {
        at = base + static_cast<int64_t>(std::min(next, skipEnd)) - 1;
        continue;
      }
    }
    if (offset + 4 > length) {
      const int64_t end = base + static_cast<int64_t>(length);
      Source.Seek(end, SeekOrigin::Begin);
      return {Landing::EndOfVolume, end};
    }
    const unsigned char* bytes = window + offset;
    size_t left = length - offset;
    const int32_t nameLength = Int32At(bytes);
    if (nameLength == 0) {
      // An end marker is the last thing in the archive.
      if (atEnd && left == 4) {
        Source.Seek(at, SeekOrigin::Begin);
        return {Landing::EndMarker, at};
      }
      continue;
    }
    if (atEnd && left == kVolumeChangeRecord && IsVolumeChangeRecord(bytes)) {
      Source.Seek(at, SeekOrigin::Begin);
      return {Landing::VolumeChange, at};
    }
    if (nameLength < 0 || static_cast<size_t>(nameLength) > kMaxFoundName) continue;
    const size_t head = 4 + static_cast<size_t>(nameLength) + 4 + 4;
    if (head > left && !atEnd) {
      look(at, kWindow);
      bytes = window;
      left = length;
    }
    if (head > left || std::memcmp(bytes + head - 4, format::kSectionSignature, 4) != 0) continue;
    const std::string name(reinterpret_cast<const char*>(bytes + 4),
                           static_cast<size_t>(nameLength));
    if (!IsPlausibleStoredName(name) || format::IsVolumeChangeName(name)) continue;
    if (ChunksFollow(Source, at + static_cast<int64_t>(head))) {
      Source.Seek(at, SeekOrigin::Begin);
      return {Landing::FileEntry, at};
    }
  }
}

}  // namespace kelmora
