// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore: the folder handling. What stands at a target, reaching its
// folder, beginning the target there and putting it in place.
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/restore_run.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

namespace {

constexpr const char* kCannotCreateFolder = "Cannot create folder";
// NAME.damaged, then NAME.damaged.1 to .99. None of them can be the name
// of a volume that is not there yet: those end in three digits.
constexpr int kKeptNames = 100;

bool HasParentComponent(const std::string& Path) {
  size_t start = 0;
  while (start <= Path.size()) {
    size_t end = Path.find_first_of(platform::kSeparators, start);
    if (end == std::string::npos) end = Path.size();
    if (Path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool RestoreRun::LexicallyInFolder(const std::string& Target) const {
  // Compared as the system compares names: on Windows "C:\Out\a" lies in
  // c:/out/.
  return Target.size() >= folder_.size() &&
         platform::ComparablePath(Target.substr(0, folder_.size())) ==
             platform::ComparablePath(folder_) &&
         !HasParentComponent(Target.substr(folder_.size()));
}

platform::PathInfo RestoreRun::Inspect(const std::string& Target) {
  inspectedIn_.reset();
  // Most files go into the folder of the file before them; its handle
  // spares a walk down the whole path.
  if (!folder_.empty() && lastFolder_ && LexicallyInFolder(Target)) {
    const std::string below = restore::FolderOf(Target.substr(folder_.size() - 1));
    if (folder_ + below == lastFolderPath_) {
      inspectedIn_ = lastFolder_;
      // In mode all only a link, a folder, or a file of this run's could
      // tell there, and a folder this run made holds none of them.
      if (e_.RestoreMode == rmAll && !claimed_.Holds(platform::ComparableName(Target)) &&
          emptyMade_.count(platform::ComparableName(below)) != 0)
        return platform::PathInfo{};
      return platform::InspectAt(*lastFolder_,
                                 Target.substr(Target.find_last_of(platform::kSeparators) + 1));
    }
  }
  // Inside a restore folder a link in the target's place is itself the
  // fact that matters; at stored paths links are followed as usual.
  return platform::InspectPath(Target, folder_.empty());
}

bool RestoreRun::LocateTarget(const std::string& Target, Folder& Into, std::string& Below,
                              std::string& Leaf, std::string& Why) {
  std::string target = Target;
  if (restore::FolderOf(target).empty()) throw Exception(kCannotCreateFolder);
  if (folder_.empty()) {
    // At stored paths a link is followed as it always is there: the file
    // it leads to is replaced and the link stays.
    if (platform::InspectPath(target, false).Kind == platform::PathKind::Link) {
      // The link may lead where a file still queued goes.
      Drain();
      const std::string resolved = platform::ResolvedPath(target);
      if (!resolved.empty()) target = resolved;
    }
    Into = OpenTargetFolder(restore::FolderOf(target), std::string());
  } else {
    if (!LexicallyInFolder(target)) {
      Why = "it lies outside the restore folder";
      return false;
    }
    if (!OpenRoot(Why)) return false;
    Below = restore::FolderOf(target.substr(folder_.size() - 1));
    Into = OpenTargetFolder(folder_ + Below, Below);
  }
  Leaf = target.substr(target.find_last_of(platform::kSeparators) + 1);
  if (!Into->Valid()) {
    Why = std::string(kCannotCreateFolder) + " " + restore::FolderOf(target) + ": " +
          platform::ErrorText(Into->LastError());
  }
  return Into->Valid() && !Leaf.empty();
}

bool RestoreRun::OpenRoot(std::string& Why) {
  if (root_) return true;
  // The restore folder itself may still have to be made.
  auto root = std::make_shared<const platform::FolderHandle>(platform::OpenFolder(
      folder_.size() > 1 ? folder_.substr(0, folder_.size() - 1) : folder_, true));
  if (!root->Valid()) {
    Why = std::string(kCannotCreateFolder) + " " + folder_ + ": " +
          platform::ErrorText(root->LastError());
    return false;
  }
  // Restoring to the root puts files back through the links of this
  // system (/bin, a /home kept elsewhere); any other folder holds a
  // tree this run makes itself, and no link in it is followed.
  if (platform::IsSystemRoot(*root)) trust_ = startTrust_;
  root_ = std::move(root);
  return true;
}

RestoreRun::Folder RestoreRun::OpenTargetFolder(const std::string& Path, const std::string& Below) {
  reusedFolder_ = lastFolder_ && Path == lastFolderPath_;
  // The folder kept open may have been moved, or another put in its place,
  // since the file before went in: it is used only while the way from the
  // restore folder still leads to it, and reached afresh otherwise.
  // The check that put the file before in place vouches for the folder
  // when nothing but reading the archive came between.
  // Damage reported between two files raised an event too.
  if (s_.Damages.size() != damagesWhenVouched_) folderVouched_ = false;
  if (reusedFolder_ && !folder_.empty() && !folderVouched_ &&
      !platform::FolderStillBeneath(*root_, Below, *lastFolder_, trust_)) {
    emptyMade_.erase(platform::ComparableName(Below));
    reusedFolder_ = false;
  }
  folderVouched_ = false;
  if (reusedFolder_) return lastFolder_;
  Folder folder = std::make_shared<const platform::FolderHandle>(
      folder_.empty() ? platform::OpenFolder(Path, true)
                      : platform::OpenFolderBeneath(*root_, Below, true, trust_));
  lastFolder_ = folder->Valid() ? folder : nullptr;
  // What a run cut short left in a folder is removed by the next run there.
  if (lastFolder_ && !folder->Made()) platform::RemoveLeftovers(*folder);
  lastFolderPath_ = lastFolder_ ? Path : std::string();
  if (folder->Made()) {
    // Its folder holds a folder now, which a file may not replace.
    emptyMade_.erase(platform::ComparableName(restore::FolderOf(Below)));
    emptyMade_.insert(platform::ComparableName(Below));
  }
  return folder;
}

bool RestoreRun::BeginTarget(const std::string& Target, const platform::PathInfo& Existing) {
  // A second try when the folder kept open turns out removed meanwhile: it
  // is reached (and made) afresh, and what stands there is looked at anew.
  for (int attempt = 0;; ++attempt) {
    Folder folder;
    std::string below;
    std::string leaf;
    std::string why;
    // A file left out because its folder cannot be had, or lies outside,
    // is stepped over, and the run must not end as a complete one.
    if (!LocateTarget(Target, folder, below, leaf, why)) {
      Refuse(Target, why);
      return false;
    }
    // Inspect looked through this very handle already; any other way to
    // the folder is looked at again, since the path may have led elsewhere.
    const bool lookedAgain = attempt > 0 || folder != inspectedIn_;
    const platform::PathInfo there = lookedAgain ? platform::InspectAt(*folder, leaf) : Existing;
    // The mode decided on what Inspect saw. Where something else stands
    // there (the folder was moved, or removed and made again, meanwhile)
    // it decides again.
    if (lookedAgain && (there.Kind != Existing.Kind || there.Stamp != Existing.Stamp) &&
        !DecideByMode(there))
      return false;
    // What stands in one file's way (a name this system cannot hold, a
    // folder) costs that file alone.
    if (there.Error != 0) {
      Refuse(Target, platform::ErrorText(there.Error));
      return false;
    }
    if (there.Kind == platform::PathKind::Directory) {
      Refuse(Target, platform::ErrorText(EISDIR));
      return false;
    }
    if (!folder_.empty() && there.Kind == platform::PathKind::Link) {
      Refuse(Target, "a symbolic link stands in its place");
      return false;
    }
    platform::FileIdentity identity;
    if (there.Kind != platform::PathKind::Missing &&
        platform::IdentityAt(*folder, leaf, identity)) {
      for (const platform::FileIdentity& volume : volumes_) {
        if (identity == volume) {
          Refuse(Target, "it is a volume of the archive being read");
          return false;
        }
      }
    }
    auto file = std::make_unique<platform::PendingFile>(folder);
    if (!file->Valid() && reusedFolder_ && attempt == 0) {
      lastFolder_.reset();
      lastFolderPath_.clear();
      continue;
    }
    if (!file->Valid()) {
      // A folder that may not be written to costs its files; a full or
      // failing disk would fail every one after it.
      const int error = file->LastError();
      if (platform::FailsEveryFile(error))
        FailTarget(Target, "creating it failed: " + platform::ErrorText(error));
      else
        Refuse(Target, platform::ErrorText(error));
      return false;
    }
    if (there.Kind == platform::PathKind::File) file->TakeOverModeOf(leaf);
    target_.stream = std::make_unique<TFileStream>(file->ReleaseFile(), Target);
    // A sparse file comes back sparse, not as gigabytes of written zeros.
    target_.stream->WriteZerosAsHoles(true);
    target_.file = std::move(file);
    target_.name = Target;
    target_.leaf = leaf;
    target_.folder = lastFolderPath_;
    target_.below = std::move(below);
    return true;
  }
}

void RestoreRun::FinishTarget(bool Put) {
  if (!target_.file) return;
  if (Put) {
    // The handler may rewrite the name it is shown; the file still goes
    // where it was begun, and is reported under that name.
    if (e_.OnFileRestored) e_.OnFileRestored(e_, s_.CurrentFile, target_.stream);
    const std::string name = target_.name;
    // Noted before it is in place: a file system written to is synced,
    // whether the rename then succeeds or not.
    NoteWrittenFolder();
    FinishedTarget whole = TakeOpenTarget();
    if (writer_) {
      std::string folder = restore::FolderOf(name);
      if (folder != writerFolder_) {
        writerFolder_ = std::move(folder);
        ++writerFolderNumber_;
      }
      writer_->Hand(std::move(whole), writerFolderNumber_);
      TakeWriterOutcome();
    } else if (const Placement placed = PutInPlace(whole); placed.Why.empty()) {
      ++s_.FilesDone;
      folderVouched_ = placed.FolderChecked && whole.File->Folder() == lastFolder_;
      damagesWhenVouched_ = s_.Damages.size();
      if (!placed.Partly.empty()) RefuseFile(name, placed.Partly);
    } else if (placed.OnlyThisFile) {
      RefuseFile(name, placed.Why);
    } else {
      FailTarget(name, placed.Why);
    }
  }
  target_ = OpenTarget{};
}

void RestoreRun::SetDamagedAside() {
  if (target_.file && e_.KeepDamaged) {
    // What cannot be kept is only a copy of damage; the run ends with code
    // 6 either way.
    Drain();
    NoteWrittenFolder();
    FinishedTarget kept = TakeOpenTarget();
    kept.How = kept.WhenMoved = platform::PendingFile::Placing::KeepExisting;
    kept.HasMetadata = false;  // a copy of damage, not the file it was
    // Its data on the disk before it takes a name, as every restored file's.
    if (FinishWriting(kept).Why.empty() && kept.File->SyncData() == 0) KeepAside(kept);
  }
  target_ = OpenTarget{};
}

FinishedTarget RestoreRun::TakeOpenTarget() {
  FinishedTarget whole;
  whole.File = std::move(target_.file);
  whole.Stream = std::move(target_.stream);
  whole.Leaf = target_.leaf;
  whole.Name = target_.name;
  whole.Stamp = stamp_;
  if (record_) {
    whole.HasMetadata = true;
    whole.Metadata = companion::PathMetadataOf(*record_);
    whole.Rules = rules_;
  }
  if (!folder_.empty()) {
    whole.Root = root_;
    whole.Below = target_.below;
    whole.Trust = trust_;
    // Only in mode all does the mode's decision hold in another folder.
    if (e_.RestoreMode != rmAll) whole.WhenMoved = platform::PendingFile::Placing::KeepExisting;
  }
  return whole;
}

void RestoreRun::KeepAside(FinishedTarget& Kept) {
  const std::string folder = target_.name.substr(0, target_.name.size() - target_.leaf.size());
  const std::string taken = TakeKeptName(folder, target_.leaf, [&Kept](const std::string& Leaf) {
    // Existing names, the archive's volumes among them, are never taken.
    Kept.Leaf = Leaf;
    return Place(Kept).Error;
  });
  if (taken.empty()) return;
  claimed_.ClaimComparable(taken, storedName_);
  kept_[taken] = KeptCopy{Kept.File->Folder(), folder, target_.leaf, Kept.Leaf};
}

std::string RestoreRun::TakeKeptName(const std::string& Folder, const std::string& Leaf,
                                     const std::function<int(const std::string&)>& Try) {
  for (int number = 0; number < kKeptNames; ++number) {
    std::string leaf = Leaf + ".damaged";
    if (number > 0) leaf.append(".").append(std::to_string(number));
    // A name this run restored, or kept aside already, is not free even
    // when a file queued for it is not in place yet.
    std::string name = platform::ComparableName(Folder + leaf);
    if (claimed_.Holds(name)) continue;
    const int error = Try(leaf);
    if (error == 0) return name;
    if (error != EEXIST) break;
  }
  return {};
}

bool RestoreRun::MoveKeptCopy(const std::string& Claimed) {
  const auto found = kept_.find(Claimed);
  if (found == kept_.end()) return false;
  KeptCopy copy = std::move(found->second);
  kept_.erase(found);
  std::string leaf;
  const std::string taken =
      TakeKeptName(copy.folderName, copy.leaf, [&copy, &leaf](const std::string& Leaf) {
        leaf = Leaf;
        return platform::RenameKeeping(*copy.folder, copy.keptAs, Leaf);
      });
  if (taken.empty()) return false;
  claimed_.Move(Claimed, taken);
  copy.keptAs = std::move(leaf);
  kept_[taken] = std::move(copy);
  return true;
}

void RestoreRun::NoteWrittenFolder() {
  // Only the device matters, and the files of one folder share it.
  if (!target_.folder.empty() && target_.folder == lastWritten_) return;
  lastWritten_ = target_.folder;
  platform::FileIdentity folder;
  if (!platform::IdentityOf(*target_.file->Folder(), folder)) return;
  for (const auto& written : written_)
    if (written.first == folder.Device) return;
  written_.emplace_back(folder.Device, target_.file->Folder());
}

void RestoreRun::SyncWrittenFileSystems() {
  for (const auto& written : written_) {
    if (const int error = platform::SyncFileSystem(*written.second); error != 0)
      run_.NoteFailure(beCannotReadFile, folder_,
                       "the restored files could not be synced: " + platform::ErrorText(error));
  }
}

}  // namespace kelmora
