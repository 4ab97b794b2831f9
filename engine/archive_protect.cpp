// SPDX-License-Identifier: GPL-3.0-or-later
//
// Protect: a companion made for an archive written without one, or made
// again (another recovery record, say) for one that has it. The archive is
// read as a test reads it first: a companion is a record of the archive as
// it should be, and one made of a damaged archive would take the damage
// for its contents. File records, which only a backup can take from the
// files themselves, are carried over from a companion that belongs to it.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_companion.h"
#include "engine/archive_format.h"
#include "engine/archive_records.h"
#include "engine/archive_walk.h"
#include "engine/busy_scope.h"
#include "engine/companion/builder.h"
#include "engine/run_state.h"
#include "kelmora/helpers.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

class ProtectRun : public EntryConsumer {
 public:
  ProtectRun(TBackupFile& Engine, const std::string& ArchiveName)
      : e_(Engine),
        run_(Engine),
        s_(run_.State()),
        archiveName_(ArchiveName),
        first_(platform::LinkTarget(ArchiveName)) {}

  bool Run() {
    run_.ClearFailure();
    s_.Continue = true;
    if (archiveName_ == kStreamArchiveName || !platform::FileExists(archiveName_)) {
      run_.Fail(beCannotReadArchive, archiveName_);
      return End(false);
    }
    // Held alone while the archive is read and its companion replaced; it
    // also removes what a protect cut short left beside the archive.
    if (!claim_.Take(run_, archiveName_, true)) return End(false);
    BusyScope busy(s_.Busy);
    ArchiveCompanion older(archiveName_);
    const bool belongs = older.Open().State == csSound;
    std::vector<companion::MetadataRecord> records;
    if (belongs && older.Metadata() != nullptr &&
        !older.Metadata()->ForEach([&records](const companion::MetadataRecord& R) {
          records.push_back(R);
          return true;
        }))
      records.clear();
    // A companion the device failed to give may be sound and hold what only
    // a backup could record: replaced, that would be lost for good.
    if (const int error = older.ReadError(); error != 0) {
      run_.Fail(beCannotReadArchive,
                older.Source().DeviceError() != 0 ? archiveName_ : CompanionFileName(archiveName_),
                platform::ErrorText(error));
      return End(false, &busy);
    }
    if (!ReadArchive(belongs ? &older : nullptr)) return End(false, &busy);
    std::vector<companion::IndexEntry> index;
    if (!Index(index)) return End(false, &busy);
    const bool written = Write(index, records);
    return End(written, &busy);
  }

  Plan BeginFile(const std::string& Name, int32_t) override {
    s_.CurrentFile = Name;
    names_.push_back(Name);
    start_ = s_.BytesDone;
    return {nullptr, true, true};
  }
  void EndFile(Ending How) override {
    sizes_.push_back(How == Ending::Sound ? s_.BytesDone - start_ : -1);
  }
  void VolumeOpened(TStream&) override { ++volumes_; }

 private:
  bool End(bool Result, BusyScope* Busy = nullptr) {
    run_.ReportProgress(std::string(), 100);
    if (Busy != nullptr) Busy->End();
    if (s_.Failure.Code != beNone) e_.MessageError(s_.Failure.Code);
    return Result && s_.Continue;
  }

  // Every chunk inflated and checked, each file's size counted; with the
  // companion there, every block against it as well, as a test does.
  bool ReadArchive(ArchiveCompanion* Older) {
    try {
      ArchiveWalk walk(run_, *this, archiveName_);
      walk.Open();
      walk.Run();
    } catch (const Exception& e) {
      const auto* read = dynamic_cast<const EStreamError*>(&e);
      run_.Fail(beCannotReadArchive, archiveName_,
                read != nullptr && read->SystemError() != 0
                    ? platform::ErrorText(read->SystemError())
                    : std::string());
      return false;
    }
    if (s_.Continue && Older != nullptr) ReportChangedBlocks(run_, *Older, {}, {});
    if (!s_.Continue) return false;
    if (!s_.Damages.empty() || s_.Incomplete) {
      run_.Fail(beCompression, archiveName_,
                "the archive is damaged or incomplete; a companion made of it would take the "
                "damage for its contents");
      return false;
    }
    return true;
  }

  // The records again, for where each entry begins and what it takes.
  bool Index(std::vector<companion::IndexEntry>& Index) {
    size_t file = 0;
    bool agrees = true;
    int readError = 0;  // the device failed to give the records again
    try {
      const bool listed = ListArchiveRecords(
          e_, archiveName_, [&](const TArchiveEntry& Entry, int64_t Offset, bool FileList) {
            companion::IndexEntry e;
            e.Name = Entry.Name;
            e.Volume = Entry.Volume;
            e.Flags = FileList ? companion::kFileListEntry : 0;
            e.Offset = Offset;
            e.Packed = Entry.Packed;
            e.Chunks = static_cast<uint32_t>(Entry.Chunks);
            e.Stamp = Entry.Stamp;
            agrees = agrees && file < names_.size() && names_[file] == Entry.Name;
            e.Size = file < sizes_.size() ? sizes_[file] : -1;
            ++file;
            Index.push_back(std::move(e));
          });
      agrees = agrees && listed;
    } catch (const Exception& e) {
      const auto* read = dynamic_cast<const EStreamError*>(&e);
      readError = read != nullptr ? read->SystemError() : 0;
      agrees = false;
    }
    // The listing ran as a run of its own, its failure published on the
    // engine; this one goes on.
    const TFailure failure = e_.Failure();
    run_.Publish();
    if (agrees && file == names_.size()) return true;
    if (readError != 0)
      run_.Fail(beCannotReadArchive, archiveName_, platform::ErrorText(readError));
    else if (failure.Code != beNone && !failure.Reason.empty())
      run_.Fail(failure.Code, failure.Subject.empty() ? archiveName_ : failure.Subject,
                failure.Reason);
    else
      run_.Fail(beCannotReadArchive, archiveName_, "the archive changed while it was read");
    return false;
  }

  bool Write(const std::vector<companion::IndexEntry>& Index,
             const std::vector<companion::MetadataRecord>& Records) {
    const std::string final = CompanionFileName(archiveName_);
    std::string temp;
    platform::File file = platform::CreateFileBeside(final, temp);
    if (!file.Valid()) {
      run_.Fail(beCannotWriteArchive, final, platform::ErrorText(file.LastError()));
      return false;
    }
    companion::FileVolumes source(first_);
    companion::BuildOptions options;
    options.RecoveryPercent = std::min<unsigned>(e_.RecoveryPercent, 100);
    options.Threads = e_.ThreadCount();
    options.Progress = [this](int64_t Done, int64_t Total) {
      run_.ProcessMessages();
      run_.ReportProgress(std::string(), PercentOf(Done, Total));
      return s_.Continue;
    };
    bool done = false;
    try {
      THandleStream out(std::move(file));
      const companion::BuildResult built =
          companion::BuildCompanion(source, volumes_, Index, Records, options, out);
      if (!built.Done && !built.Stopped)
        run_.Fail(beCannotReadArchive, VolumeFileName(archiveName_, built.Volume),
                  platform::ErrorText(source.LastError()));
      out.Close();
      done = built.Done;
      if (done) {
        int error = platform::SyncFile(temp);
        if (error == 0) error = platform::RenameFile(temp, final);
        if (error == 0) error = platform::SyncFolderOf(final);
        if (error != 0) {
          run_.Fail(beCannotWriteArchive, final, platform::ErrorText(error));
          done = false;
        }
      }
    } catch (const EStreamError& e) {
      run_.Fail(beCannotWriteArchive, final,
                e.SystemError() != 0 ? platform::ErrorText(e.SystemError()) : e.what());
      done = false;
    }
    if (!done) platform::DeleteFile(temp);
    return done;
  }

  TBackupFile& e_;
  RunContext run_;
  ArchiveClaim claim_;
  RunState& s_;
  const std::string archiveName_;
  const std::string first_;
  std::vector<std::string> names_;
  std::vector<int64_t> sizes_;
  int64_t start_ = 0;
  unsigned volumes_ = 0;
};

}  // namespace

bool TBackupFile::Protect(const std::string& ArchiveName) {
  return ProtectRun(*this, ArchiveName).Run();
}

}  // namespace kelmora
