// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore, what the companion adds (engine/restore_run.h): the volumes
// checked against it, the index's short way to the entries a filter lets
// through, each file's recorded owner, mode and time, and after the files
// the folders and links the archive's layout has no place for.
#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "engine/restore_run.h"
#include "platform/names.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// A name inside a folder that no stored name or pattern has.
const std::string kInside = "/\x01";

bool IsFileList(const companion::IndexEntry& Entry) {
  return (Entry.Flags & companion::kFileListEntry) != 0;
}

}  // namespace

void RestoreRun::OpenCompanion(ArchiveWalk& Walk) {
  auto found = std::make_unique<ArchiveCompanion>(archiveName_);
  TCompanionNote note = found->Open();
  // The companion is the archive's too: no target may replace it.
  platform::FileIdentity identity;
  if (platform::IdentityOfPath(found->FileName(), identity)) volumes_.push_back(identity);
  if (note.State == csSound) {
    metadata_ = found->Metadata();
    if (metadata_ == nullptr)
      note = {csDamaged, found->FileName(), "its file records cannot be read"};
  }
  run_.NoteCompanion(note);
  if (!found->Usable()) return;
  // As tar gives them back: owners and exact modes for root, modes less
  // the umask for anyone else.
  const bool root = platform::MayChangeOwner();
  rules_.Owner = e_.SameOwner == chOn || (e_.SameOwner == chDefault && root);
  rules_.ExactMode = e_.SamePermissions == chOn || (e_.SamePermissions == chDefault && root);
  rules_.Umask = platform::ProcessUmask();
  companion_ = std::move(found);
  Walk.SetVolumeCheck([this](int Number) {
    const auto volume = static_cast<unsigned>(Number);
    std::string why = companion_->ForeignReason(volume);
    if (!why.empty()) ReportForeignVolume(run_, *companion_, volume);
    return why;
  });
}

bool RestoreRun::FilteredStretches(std::vector<ArchiveWalk::Stretch>& Stretches) {
  if (!companion_ || !e_.RestoreFilter) return false;
  // Every volume a stretch reads must be as written, the first one for the
  // header too; otherwise the archive is read whole, as without an index.
  const auto sound = [this](unsigned From, unsigned To) {
    for (unsigned v = From; v <= To; ++v)
      if (companion_->VolumeFit(v) != ArchiveCompanion::Fit::Same) return false;
    return true;
  };
  if (!sound(1, 1)) return false;
  // Each name is asked once, the answers kept a bit an entry in the
  // index's order; the names are read again only when the walk needs
  // answers that are not all yes.
  std::vector<bool> answers;
  bool open = false;
  bool unsound = false;
  int64_t firstOffset = -1;
  ArchiveWalk::Stretch stretch;
  const auto close = [&](unsigned EndVolume, int64_t End) {
    open = false;
    stretch.EndVolume = EndVolume;
    stretch.End = End;
    const unsigned last = EndVolume > 0 ? EndVolume : companion_->Volumes();
    if (!sound(static_cast<unsigned>(stretch.Volume), last)) unsound = true;
    Stretches.push_back(stretch);
  };
  const bool read = companion_->ForEachIndexEntry([&](const companion::IndexEntry& e) {
    if (firstOffset < 0) firstOffset = e.Offset;
    const bool wanted = !IsFileList(e) && e_.RestoreFilter(e.Name);
    answers.push_back(wanted);
    if (wanted && !open) {
      open = true;
      stretch = {e.Volume, e.Offset, 0, 0};
    } else if (!wanted && open) {
      close(e.Volume, e.Offset);
    }
    return s_.Continue;
  });
  if (open) close(0, 0);
  if (!read) {
    // Not one name was asked when the index fails its checksum; one that
    // fails later was changed while it was read.
    Stretches.clear();
    return false;
  }
  // A walk through stretches meets only names of the index; one through
  // the whole archive may meet others, which are asked for as they come.
  const bool all = std::find(answers.begin(), answers.end(), false) == answers.end();
  if (all && !unsound) {
    filtered_.LetAll();
  } else {
    size_t i = 0;
    companion_->ForEachIndexEntry([&](const companion::IndexEntry& e) {
      if (i >= answers.size()) return false;
      filtered_.Note(e.Name, answers[i++]);
      return true;
    });
  }
  if (unsound) {
    Stretches.clear();
    return false;
  }
  // Read whole, the archive costs no more than its one stretch would.
  if (answers.empty()) return false;
  if (Stretches.size() == 1 && Stretches[0].Volume == 1 && Stretches[0].Offset == firstOffset &&
      Stretches[0].EndVolume == 0) {
    Stretches.clear();
    return false;
  }
  return true;
}

std::optional<companion::MetadataRecord> RestoreRun::FileRecord(const std::string& Stored,
                                                                const std::string& Target) {
  if (metadata_ == nullptr) return std::nullopt;
  bool unreadable = false;
  std::optional<companion::MetadataRecord> found =
      metadata_->Find(Stored, companion::EntryKind::File, &unreadable);
  if (unreadable)
    RefuseFile(Target, "its owner, mode and time cannot be read from the companion " +
                           companion_->FileName() + ": " + WhyCompanionUnreadable());
  return found;
}

std::string RestoreRun::WhyCompanionUnreadable() const {
  const int error = companion_->ReadError();
  return error != 0 ? platform::ErrorText(error) : "it changed while it was read";
}

platform::FolderHandle RestoreRun::OpenPlace(const std::string& Target, bool Create,
                                             std::string& Why) {
  platform::FolderHandle folder;
  if (folder_.empty()) {
    folder = platform::OpenFolder(Target, Create);
  } else if (Target + platform::kPathSeparator == folder_) {
    // The restore folder itself (a link restored into it without folders).
    if (!OpenRoot(Why)) return platform::FolderHandle::Failure(EINVAL);
    folder = root_->Duplicate();
  } else if (!LexicallyInFolder(Target)) {
    Why = "it lies outside the restore folder";
    return platform::FolderHandle::Failure(EINVAL);
  } else {
    if (!OpenRoot(Why)) return platform::FolderHandle::Failure(EINVAL);
    folder = platform::OpenFolderBeneath(*root_, Target.substr(folder_.size() - 1), Create, trust_);
  }
  if (!folder.Valid())
    Why = "Cannot create folder " + Target + ": " + platform::ErrorText(folder.LastError());
  return folder;
}

void RestoreRun::GiveBackFoldersAndLinks() {
  if (metadata_ == nullptr || !s_.Continue) return;
  // The modes that restore missing files make missing folders and links.
  const bool makes =
      e_.RestoreMode == rmAll || e_.RestoreMode == rmNoOverwrite || e_.RestoreMode == rmNewer;
  // A folder is asked for as what lies in it, so that a pattern takes it
  // as it takes its files (the case of its own name counts, as a folder's
  // does in every stored name).
  const auto wanted = [this](const companion::MetadataRecord& R, companion::EntryKind Kind) {
    if (R.Kind != Kind) return false;
    const auto& filter = e_.RestoreRecordFilter ? e_.RestoreRecordFilter : e_.RestoreFilter;
    if (!filter) return true;
    return filter(Kind == companion::EntryKind::Folder ? R.Name + kInside : R.Name);
  };
  // Folders exist only where the stored tree is rebuilt.
  struct Place {
    std::string target;
    companion::MetadataRecord record;
  };
  std::vector<Place> folders;
  const bool tree = folder_.empty() || e_.RestoreFullPath;
  const auto folder = [&](const companion::MetadataRecord& r) {
    if (!s_.Continue) return false;
    if (!tree || !wanted(r, companion::EntryKind::Folder)) return true;
    run_.ProcessMessages();
    if (restore::TargetName(r.Name, folder_, true).empty()) {
      RefuseFile(r.Name, "its stored name is not one to restore (a \"..\" component)");
      return true;
    }
    // With a base left out, only the folders below it have a place.
    const std::string& base = e_.RestoreBaseFolder;
    const std::string path = restore::StoredPath(r.Name);
    if (!base.empty() && !(path.size() > base.size() && path[base.size()] == '/' &&
                           path.compare(0, base.size(), base) == 0))
      return true;
    const std::string target = restore::TargetName(r.Name, folder_, true, base);
    std::string why;
    const platform::FolderHandle made = OpenPlace(target, makes, why);
    if (!made.Valid()) {
      if (makes) RefuseFile(target, why);
      return true;
    }
    // Another mode leaves an existing folder's mode and time as they are.
    if (e_.RestoreMode == rmAll || made.Made()) folders.push_back({target, r});
    return true;
  };
  const auto link = [&](const companion::MetadataRecord& r) {
    if (!s_.Continue) return false;
    if (!wanted(r, companion::EntryKind::Link)) return true;
    run_.ProcessMessages();
    MakeLink(r);
    return true;
  };
  // The records are read again for each pass, not held: a tree of a
  // million files has as many records.
  for (const auto& pass : {std::function<bool(const companion::MetadataRecord&)>(folder),
                           std::function<bool(const companion::MetadataRecord&)>(link)}) {
    if (!metadata_->ForEach(pass) && s_.Continue) {
      RefuseFile(companion_->FileName(),
                 "its records of folders and links cannot be read again, and they are not "
                 "restored: " +
                     WhyCompanionUnreadable());
      return;
    }
    if (!s_.Continue) return;
  }
  // Deepest first: setting a folder's time must come after every change
  // inside it, and a mode without write permission would bar them.
  std::sort(folders.begin(), folders.end(),
            [](const Place& A, const Place& B) { return A.target > B.target; });
  for (const Place& place : folders) {
    if (!s_.Continue) return;
    std::string why;
    const platform::FolderHandle folder = OpenPlace(place.target, false, why);
    const std::string partly = folder.Valid()
                                   ? MetadataShortfall(platform::ApplyMetadata(
                                         folder, companion::PathMetadataOf(place.record), rules_))
                                   : why;
    if (!partly.empty()) RefuseFile(place.target, partly);
  }
}

bool RestoreRun::MakeLink(const companion::MetadataRecord& Record) {
  const std::string target =
      restore::TargetName(Record.Name, folder_, e_.RestoreFullPath, e_.RestoreBaseFolder);
  if (target.empty()) {
    RefuseFile(Record.Name, "its stored name is not one to restore (a \"..\" component)");
    return false;
  }
  s_.CurrentFile = target;
  if (Clashes(Record.Name, target)) return false;
  const bool makes =
      e_.RestoreMode == rmAll || e_.RestoreMode == rmNoOverwrite || e_.RestoreMode == rmNewer;
  std::string why;
  const platform::FolderHandle folder = OpenPlace(restore::FolderOf(target), makes, why);
  if (!folder.Valid()) {
    if (makes) RefuseFile(target, why);
    return false;
  }
  const std::string leaf = target.substr(target.find_last_of(platform::kSeparators) + 1);
  const platform::PathInfo there = platform::InspectAt(folder, leaf);
  if (there.Error != 0) {
    RefuseFile(target, platform::ErrorText(there.Error));
    return false;
  }
  // A link is made where nothing stands, and replaces what stands there
  // only in mode all; a folder is never replaced.
  const bool exists = there.Kind != platform::PathKind::Missing;
  if (exists ? e_.RestoreMode != rmAll : !makes) return false;
  if (there.Kind == platform::PathKind::Directory) {
    RefuseFile(target, platform::ErrorText(EISDIR));
    return false;
  }
  platform::FileIdentity identity;
  if (exists && platform::IdentityAt(folder, leaf, identity) &&
      std::find(volumes_.begin(), volumes_.end(), identity) != volumes_.end()) {
    RefuseFile(target, "it is a file of the archive being read");
    return false;
  }
  if (const int error = platform::MakeSymbolicLink(folder, leaf, Record.LinkTarget, true);
      error != 0) {
    RefuseFile(target, platform::ErrorText(error));
    return false;
  }
  claimed_.Claim(target, Record.Name);
  const std::string partly = MetadataShortfall(
      platform::ApplyLinkMetadata(folder, leaf, companion::PathMetadataOf(Record), rules_));
  if (!partly.empty()) RefuseFile(target, partly);
  return true;
}

}  // namespace kelmora
