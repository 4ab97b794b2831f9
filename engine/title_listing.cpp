// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive's title, totals and file-ID list, read without restoring.
// The list is the one part of an archive that a reader keeps in memory
// whole, so it is read through the bounded sink (engine/file_id_list.h).
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/file_id_list.h"
#include "engine/run_state.h"
#include "engine/section_reader.h"
#include "engine/volume_chain.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// After a section of the file-ID list: true when a volume change follows,
// with Volume moved on to the next volume. A volume change that cannot be
// followed (a caller's stream, a number that does not count upwards, a
// missing file) is damage: the list is incomplete. The title is read
// without a run of its own, so a missing volume is not asked for.
bool ListGoesOn(TStream& Archive, const VolumeChain* Chain, int& Volume) {
  const int32_t length = format::ReadInt32(Archive);
  if (length != format::kVolumeChangeNameLength) return false;
  const std::string name = format::ReadChars(Archive, length);
  if (!format::IsVolumeChangeName(name)) return false;
  const int number = VolumeChain::NextNumber(name, Volume);
  if (Chain == nullptr || number < 0 || !Chain->Present(number))
    throw Exception(format::kInvalidArchive);
  Volume = number;
  return true;
}

}  // namespace

std::string TBackupFile::GetArchiveTitle(const std::string& ArchiveName, TStringList* List) {
  const bool fromStream = ArchiveName == kStreamArchiveName;
  // Not a run of its own: it resets only the figures it reads, and a
  // failure on record stays there unless this one fails.
  RunContext run(*this, RunContext::Start::Current);
  RunState& s = run.State();
  std::string title;
  s.TotalSize = 0;
  s.FileCount = 0;
  s.FilesDone = 0;
  s.Damages.clear();

  ArchiveClaim claim;
  std::unique_ptr<TFileStream> file;
  TStream* archive = sourceStream_;
  if (!fromStream) {
    if (!claim.Take(run, ArchiveName, false)) {
      MessageError(s.Failure.Code);
      return title;
    }
    if (!run.ArchiveThere(ArchiveName)) return title;
    try {
      file = std::make_unique<TFileStream>(ArchiveName, TFileStream::fmOpenRead);
    } catch (const EStreamError& e) {
      run.NoteFailure(beCannotReadArchive, ArchiveName,
                      e.SystemError() != 0 ? platform::ErrorText(e.SystemError()) : std::string());
      MessageError(s.Failure.Code);
      return title;
    }
    archive = file.get();
  }
  if (archive == nullptr) return title;

  int64_t listAt = 0;
  format::Header header;
  // A header cut short still gives what it holds before the cut.
  const auto takeHeader = [&] {
    title = header.Title;
    s.TotalSize = header.TotalSize;
    s.FileCount = header.FileCount;
  };
  try {
    try {
      format::ReadHeader(*archive, header);
    } catch (const Exception&) {
      takeHeader();
      throw;
    }
    takeHeader();
    listAt = archive->Position();
    const int32_t nameLength = format::ReadInt32(*archive);
    if (nameLength > 0 && List != nullptr &&
        format::IsFileListName(format::ReadChars(*archive, nameLength))) {
      format::ReadInt32(*archive);  // the list's own time stamp
      TStringList lines;
      FileIdListSink sink([&lines](std::string&& Line) { lines.push_back(std::move(Line)); });
      s.Continue = true;
      const TFailure before = s.Failure;
      run.ClearFailure();
      DeCompress(*archive, &sink, true);
      // The writer may split even the list over volumes; its first part
      // alone would pass for the whole list.
      std::unique_ptr<VolumeChain> chain;
      if (!fromStream) chain = std::make_unique<VolumeChain>(ArchiveName);
      int volume = 1;
      while (s.Failure.Code == beNone && ListGoesOn(*archive, chain.get(), volume)) {
        file = std::make_unique<TFileStream>(chain->Name(volume), TFileStream::fmOpenRead);
        archive = file.get();
        DeCompress(*archive, &sink, true);
      }
      if (s.Failure.Code != beNone) {
        // A damaged list is reported, not handed out in part.
        run.ReportDamage({format::kFileListName, 1, listAt, "the file-ID list does not inflate"});
        MessageError(s.Failure.Code);
      } else {
        run.NoteFailure(before.Code, before.Subject, before.Reason);
        sink.Finish();
        List->swap(lines);
      }
    }
  } catch (const FileIdListTooLarge& e) {
    run.ReportDamage({format::kFileListName, 1, listAt, e.what()});
    run.NoteFailure(beInvalidArchive, ArchiveName);
    MessageError(s.Failure.Code);
  } catch (const std::bad_alloc&) {
    run.ReportDamage({format::kFileListName, 1, listAt, "the file-ID list does not fit in memory"});
    run.NoteFailure(beInvalidArchive, ArchiveName);
    MessageError(s.Failure.Code);
  } catch (const Exception&) {
    run.NoteFailure(beInvalidArchive, ArchiveName);
    MessageError(s.Failure.Code);
  }
  return title;
}

std::string TBackupFile::GetArchiveTitleFromStream(TStream* Stream, TStringList* List) {
  if (Stream == nullptr) return {};
  sourceStream_ = Stream;
  try {
    return GetArchiveTitle(kStreamArchiveName, List);
  } catch (const std::exception& e) {
    // What the title reader does not keep itself (memory, a stream that
    // fails in a way no archive read does) is kept all the same.
    RunContext run(*this, RunContext::Start::Current);
    run.NoteUnreadable(kStreamArchiveName, e);
    MessageError(run.ErrorCode());
    return {};
  }
}

}  // namespace kelmora
