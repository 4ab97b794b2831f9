// SPDX-License-Identifier: GPL-3.0-or-later
//
// Reads a whole archive front to back for restore and test: the header,
// every record, every volume, and the way past damage. What happens to each
// file's bytes is up to an EntryConsumer; the walk itself writes nothing.
//
// Damage stays local. A chunk that fails its check is replaced by zeros and
// reading goes on; a layout that cannot be followed (an impossible length, a
// missing signature, a cut volume) is left by searching forward for the next
// record that can be validated. Every damaged file is reported once, with
// its volume and the offset of the damage; so is damage that falls in no
// file. A file is complete only once the record after its data reads
// soundly, since a wrong length in a stored chunk shows only there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/section_reader.h"
#include "engine/volume_chain.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"

namespace kelmora {

class EntryConsumer {
 public:
  virtual ~EntryConsumer() = default;

  // Where a file's data go. The plan holds for its continuations too.
  struct Plan {
    TStream* Target = nullptr;  // null: the bytes go nowhere
    bool Inflate = false;       // false: chunks are stepped over unread
    bool Progress = false;      // every chunk advances BytesDone
  };
  enum class Ending : uint8_t {
    Sound,    // every byte read and checked
    Damaged,  // reported through OnDamage already
    Stopped,  // the continue flag ended the reading
    Failed,   // writing the target failed; the run is failing
  };

  // A file entry's head (name, time stamp, signature) read soundly.
  virtual Plan BeginFile(const std::string& Name, int32_t Stamp) = 0;
  virtual void EndFile(Ending How) = 0;
  // Every volume the walk opens, the first included.
  virtual void VolumeOpened(TStream& /*Volume*/) {}
};

class ArchiveWalk {
 public:
  // With Locate, the volumes it names are taken to be all at hand (see
  // VolumeChain); without, they lie beside the first and are asked for.
  ArchiveWalk(RunContext& Run, EntryConsumer& Consumer, const std::string& ArchiveName,
              VolumeLocator Locate = {});
  ArchiveWalk(const ArchiveWalk&) = delete;
  ArchiveWalk& operator=(const ArchiveWalk&) = delete;

  // Opens the archive. Throws Exception("Cannot read archive") when it
  // cannot be opened or nothing of it can be read.
  void Open();
  // The header, then every record until the end marker, the end of the
  // data, or a stop. Sets TotalSize and FileCount from the header.
  void Run();

  // A stretch of the archive's records: from the record at Offset in volume
  // Volume up to the first file entry at or past End (in EndVolume), or to
  // the end marker when EndVolume is 0.
  struct Stretch {
    int Volume = 1;
    int64_t Offset = 0;
    int EndVolume = 0;
    int64_t End = 0;
  };
  // The header, then the stretches alone, in order, each reached by seeking
  // (an index tells where entries lie): what lies between them is never
  // read. Damage inside a stretch is met as Run meets it.
  void RunStretches(const std::vector<Stretch>& Stretches);

  // Asked before a volume is read: a reason not to read it (it is another
  // archive's), or "". Such a volume is passed over as damage and the walk
  // goes on in the next one.
  void SetVolumeCheck(std::function<std::string(int Number)> Check) {
    volumeCheck_ = std::move(Check);
  }

 private:
  static constexpr const char* kNoEndMarker = "the archive ends without its end marker";

  struct RecordDamage {
    int64_t At = 0;
    std::string Reason;
    std::string Name;             // when the entry's name could be read
    bool NothingFollows = false;  // the volume ends right where the record should be
    int64_t Record = -1;          // where the record began, when not At
    // The first bytes of a name length that the volume cuts off (one to
    // three of them).
    std::string CutLength = {};
  };
  struct OpenFile {
    bool Active = false;
    std::string Name;
    EntryConsumer::Plan Plan;
    bool Damaged = false;
  };

  // A record read up to its data section, when it reads soundly.
  struct RecordHead {
    enum Kind : uint8_t { EndMarker, VolumeChange, FileEntry } What = FileEntry;
    std::string Name;
    int32_t Stamp = 0;
  };

  // A walk's first steps (a fresh account of damage, then the header),
  // its records up to the end or a stop, and its close.
  void Begin();
  void ReadRecords();
  void End();
  void ReadHeader();
  void ReadRecord();
  // The record at At, the reader there: its head, or the damage that stops
  // it (the reader then somewhere inside it).
  std::optional<RecordDamage> ReadRecordHead(int64_t At, RecordHead& Head);
  void ReadSection(bool Continuation);
  void ChangeVolume(const std::string& Name, int64_t At);
  // True when a volume-change entry read at At, right after the header,
  // shows that the header swallowed the first entry: the walk then goes on
  // from that entry, with the header reported damaged.
  bool HeaderSwallowedEntry(int64_t At);
  // True when an entry lies in [From, End) of a section read with a damaged
  // chunk: the walk then goes on from that entry, and the open file ends
  // damaged. Otherwise the reader is left at End.
  bool EntryInside(int64_t From, int64_t End);
  void OpenVolume(int Number);
  // Reads on in volume_, just opened as volume Number, from its start.
  void TakeVolume(int Number);
  // Opens volume Number, or keeps the one open, and seeks to Offset.
  bool JumpTo(int Number, int64_t Offset);
  // In a stretch: the file entry at At in this volume lies past its end.
  bool PastStretch(int64_t At) const;
  void OnRecordDamage(const RecordDamage& Damage);
  // Goes on at the next record that validates from From on; false when
  // there is none and the walk has ended.
  bool Resync(int64_t From);
  // The volume ends in what is nearly the volume-change entry for the next
  // volume: one damaged byte in that entry must not end the archive there.
  // Nearly is all but two bytes, or half of them when the next volume is
  // there. With DamagedRecord, a damaged record that begins exactly where that
  // entry would, before a next volume that is there, counts too, however
  // much of it is damaged.
  bool EndsInDamagedVolumeChange(int64_t DamagedRecord = -1);
  void Report(const std::string& Name, int64_t At, const std::string& Reason);
  void ReportOpenFile(int64_t At, const std::string& Reason);
  void EndOpenFile(EntryConsumer::Ending How);
  void Cut(const std::string& Reason, int64_t At);
  // Reports the volume-change entry at the volume's end damaged (Reason)
  // and goes on in the next volume.
  void PastDamagedVolumeChange(const char* Reason);
  // The volume ends inside the name length of the record after the open
  // file; true when the walk has ended there.
  bool EndsInsideLength(const RecordDamage& Damage, const Landing& Found);

  RunContext& run_;
  TBackupFile& e_;
  RunState& s_;
  EntryConsumer& consumer_;
  SectionReader sections_;
  std::string archiveName_;  // the volume being read
  const bool fromStream_;
  VolumeChain chain_;
  std::unique_ptr<TFileStream> volume_;
  TStream* reader_ = nullptr;
  int volumeNumber_ = 1;
  int64_t volumeEnd_ = -1;  // the volume's size where it can be known
  bool seekable_ = false;
  int64_t sound_ = 0;         // every byte before this in the volume is verified
  int64_t lastLanding_ = -1;  // where the last search went on in this volume
  OpenFile open_;
  int64_t countAt_ = 8;  // where the header's file count lies
  int32_t entries_ = 0;  // file entries met, the file-ID list not counted
  bool headerDamaged_ = false;
  bool finished_ = false;
  bool endMarker_ = false;
  bool stretched_ = false;  // reading stretches, not the whole archive
  Stretch stretch_;
  std::function<std::string(int)> volumeCheck_;
};

// Test (archive_test.cpp) of an archive whose volumes Locate names, on a
// run of its own: the volumes a backup wrote under temporary names, read
// back before they take the older archive's place. Nothing is reported
// through OnError; true when every part of it is sound.
bool TestArchiveVolumes(TBackupFile& Engine, const std::string& First, const VolumeLocator& Locate);

}  // namespace kelmora
