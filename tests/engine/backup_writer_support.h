// SPDX-License-Identifier: GPL-3.0-or-later
//
// Reading back what the writer wrote, independently of the engine's own
// readers: the archive's records through the format functions, every
// compressed chunk through a fresh zlib stream of its own.
#pragma once

#include <zlib.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"

namespace kelmora::test {

struct ChunkRecord {
  int32_t Length = 0;  // > 0 zlib stream, < 0 stored
  std::string Payload;
  int64_t Offset = 0;  // where its length field starts in its volume
};

struct SectionRecord {
  int Volume = 1;
  std::vector<ChunkRecord> Chunks;
  int64_t EndOffset = 0;  // where its terminator starts
};

struct EntryRecord {
  std::string Name;
  int32_t Stamp = 0;
  std::vector<SectionRecord> Sections;
};

struct ArchiveRecords {
  format::Header Header;
  std::vector<EntryRecord> Entries;
  std::vector<std::string> Volumes;  // names of the volumes read, in order
  bool EndMarker = false;
};

// Reads 4 bytes, or tells that the volume ended cleanly before them.
inline bool ReadRecordStart(TStream& Stream, int32_t& Value) {
  unsigned char b[4];
  const size_t n = Stream.Read(b, 4);
  if (n == 0) return false;
  if (n != 4) throw std::runtime_error("archive cut inside a record length");
  Value = static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                               uint32_t(b[3]) << 24);
  return true;
}

inline SectionRecord ReadSection(TStream& Stream, int Volume) {
  SectionRecord section;
  section.Volume = Volume;
  format::ReadSignature(Stream);
  for (;;) {
    const int64_t at = Stream.Position();
    const int32_t length = format::ReadChunkLength(Stream);
    if (length == 0) {
      section.EndOffset = at;
      return section;
    }
    ChunkRecord chunk;
    chunk.Length = length;
    chunk.Offset = at;
    chunk.Payload = format::ReadChars(Stream, length < 0 ? -length : length);
    section.Chunks.push_back(std::move(chunk));
  }
}

// Reads an archive from its first volume file, following volume-change
// entries into the files beside it. An archive without an end marker
// (a stopped run) ends cleanly after its last complete record.
inline ArchiveRecords ReadArchiveFile(const std::string& FirstVolume) {
  ArchiveRecords archive;
  std::string name = FirstVolume;
  auto stream = std::make_unique<TFileStream>(name, TFileStream::fmOpenRead);
  archive.Volumes.push_back(name);
  archive.Header = format::ReadHeader(*stream);
  int32_t length = 0;
  while (ReadRecordStart(*stream, length)) {
    if (length == 0) {
      archive.EndMarker = true;
      unsigned char extra;
      if (stream->Read(&extra, 1) != 0) throw std::runtime_error("bytes after the end marker");
      break;
    }
    const std::string recordName = format::ReadChars(*stream, length);
    if (format::IsVolumeChangeName(recordName)) {
      unsigned char extra;
      if (stream->Read(&extra, 1) != 0) throw std::runtime_error("bytes after a volume change");
      if (archive.Entries.empty()) throw std::runtime_error("volume change before any entry");
      name = format::NextVolumeName(name, format::VolumeDigits(recordName));
      stream = std::make_unique<TFileStream>(name, TFileStream::fmOpenRead);
      archive.Volumes.push_back(name);
      archive.Entries.back().Sections.push_back(
          ReadSection(*stream, static_cast<int>(archive.Volumes.size())));
      continue;
    }
    EntryRecord entry;
    entry.Name = recordName;
    entry.Stamp = format::ReadInt32(*stream);
    entry.Sections.push_back(ReadSection(*stream, static_cast<int>(archive.Volumes.size())));
    archive.Entries.push_back(std::move(entry));
  }
  return archive;
}

// One inflate call into a piece-sized buffer, as every reader does: the
// chunk must be a complete zlib stream on its own.
inline std::string InflateChunk(const std::string& Payload) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw std::runtime_error("inflateInit");
  std::string out(format::kPieceSize, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Payload.data()));
  z.avail_in = static_cast<uInt>(Payload.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool allUsed = z.avail_in == 0;
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  if (status != Z_STREAM_END || !allUsed) throw std::runtime_error("chunk is no whole zlib stream");
  return out;
}

inline std::string ChunkData(const ChunkRecord& Chunk) {
  return Chunk.Length < 0 ? Chunk.Payload : InflateChunk(Chunk.Payload);
}

// The file's bytes: every chunk of every section, in order.
inline std::string EntryData(const EntryRecord& Entry) {
  std::string data;
  for (const SectionRecord& section : Entry.Sections)
    for (const ChunkRecord& chunk : section.Chunks) data += ChunkData(chunk);
  return data;
}

// What an engine reported through its events during one run.
struct RunLog {
  std::vector<int32_t> Errors;
  std::vector<std::string> ErrorTexts;
  std::vector<int> Percents;
  std::vector<uint16_t> Disks;
};

// Records errors, progress and need-disk events; volumes go on unless
// the test sets its own OnNeedDisk.
inline void Record(TBackupFile& Engine, RunLog& Log) {
  Engine.OnError = [&Log](TBackupFile&, int32_t Code, const std::string& Text) {
    Log.Errors.push_back(Code);
    Log.ErrorTexts.push_back(Text);
  };
  Engine.OnProgress = [&Log](TBackupFile&, const std::string&, TPercentage Percent, bool&) {
    Log.Percents.push_back(Percent);
  };
  Engine.OnNeedDisk = [&Log](TBackupFile&, uint16_t Disk, bool&) { Log.Disks.push_back(Disk); };
}

}  // namespace kelmora::test
