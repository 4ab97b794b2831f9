// Restore: reads an archive front to back, decides file by file whether to
// write it, and follows volume-change entries into the next volume files.
//
// Safety guards, all of them visible here:
//   - a stored name that is empty, holds a NUL or a ".." component is never
//     written anywhere (restore::TargetName refuses it);
//   - with a restore folder, every target must lie lexically inside it, the
//     deepest existing folder above the target must resolve (links followed)
//     to a place inside it, and a symbolic link standing where the target
//     file goes is never written through;
//   - a volume chain must count upwards, so a damaged archive cannot send
//     the run round in circles;
//   - nothing is written into a FIFO, socket or device in a target's place.
// A refused entry is stepped over and the run ends with code 1.
#include <memory>
#include <string>
#include <unordered_set>

#include "engine/archive_format.h"
#include "engine/backup_file.h"
#include "engine/restore_target.h"
#include "engine/section_reader.h"
#include "platform/path_guard.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr const char* kCannotReadArchive = "Cannot read archive";
constexpr const char* kCannotCreateFolder = "Cannot create folder";

// Clears the busy flag on every way out, an exception included.
class BusyScope {
 public:
  explicit BusyScope(bool& Busy) : busy_(Busy) { busy_ = true; }
  ~BusyScope() { busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

bool HasParentComponent(const std::string& Path) {
  size_t start = 0;
  while (start <= Path.size()) {
    size_t end = Path.find('/', start);
    if (end == std::string::npos) end = Path.size();
    if (Path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

class RestoreRun {
 public:
  RestoreRun(TBackupFile& Engine, const std::string& ArchiveName, const std::string& Folder)
      : e_(Engine),
        archiveName_(ArchiveName),
        folder_(restore::NormaliseFolder(Folder)),
        fromStream_(ArchiveName == kStreamArchiveName),
        sections_(Engine) {}

  bool Run();

 private:
  void OpenArchive();
  void ReadEntries();
  void RestoreEntry(const std::string& Name);
  void ChangeVolume(const std::string& Name);
  bool DecideByMode(const platform::PathInfo& Existing) const;
  platform::PathInfo Inspect(const std::string& Target) const;
  // Creates the target's folder; false when it cannot be had (the file is
  // then skipped, code 1). Throws for a target without any folder part.
  bool PrepareFolder(const std::string& Target);
  // With a restore folder: the target's name stays inside it...
  bool LexicallyInFolder(const std::string& Target) const;
  // ...and so does its folder once links are resolved.
  bool ResolvesInFolder(const std::string& TargetFolder);
  void WriteFile();
  // OnFileRestored, the stored time, closing. Close errors are code 1.
  void FinishTarget(std::unique_ptr<TFileStream>& Target);
  void Refuse() {
    decision_ = false;
    e_.errorCode_ = beCannotReadFile;  // reported once at the end
  }

  TBackupFile& e_;
  std::string archiveName_;
  const std::string folder_;
  const bool fromStream_;
  SectionReader sections_;
  std::unique_ptr<TFileStream> volume_;
  TStream* reader_ = nullptr;
  int volumeNumber_ = 1;
  bool decision_ = false;
  int32_t stamp_ = 0;
  std::string folderResolved_;                    // the restore folder, links resolved
  std::unordered_set<std::string> readyFolders_;  // created and checked in this run
};

bool RestoreRun::Run() {
  e_.errorCode_ = beNone;
  e_.filesDone_ = 0;
  e_.continue_ = true;
  if (!fromStream_ && !platform::FileExists(archiveName_)) return false;
  OpenArchive();
  BusyScope busy(e_.busy_);
  try {
    const format::Header header = format::ReadHeader(*reader_);
    e_.totalSize_ = header.TotalSize;
    e_.fileCount_ = header.FileCount;
  } catch (const Exception&) {
    throw Exception(kCannotReadArchive);
  }
  e_.bytesDone_ = 0;
  // A continuation met before any file entry has no file of this run to
  // go to (CurrentFile may still name one from an earlier run, even a
  // backup's source): it is stepped over.
  decision_ = false;
  ReadEntries();
  volume_.reset();

  const bool result = e_.errorCode_ == beNone && e_.continue_;
  e_.ReportProgress(std::string(), 100);
  e_.busy_ = false;
  if (e_.errorCode_ != beNone) e_.MessageError(e_.errorCode_);
  return result;
}

void RestoreRun::OpenArchive() {
  if (fromStream_) {
    reader_ = e_.sourceStream_;
    if (reader_ == nullptr) throw Exception(kCannotReadArchive);
    return;
  }
  try {
    volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
  } catch (const EStreamError&) {
    throw Exception(kCannotReadArchive);
  }
  reader_ = volume_.get();
}

void RestoreRun::ReadEntries() {
  int32_t length = 0;
  do {
    length = format::ReadInt32(*reader_);
    // A negative length is passed over: the next four bytes are read as a
    // new one.
    if (length <= 0) continue;
    const std::string name = format::ReadChars(*reader_, length);
    if (format::IsVolumeChangeName(name)) {
      ChangeVolume(name);
    } else {
      RestoreEntry(name);
    }
  } while (length != 0 && e_.continue_);
}

platform::PathInfo RestoreRun::Inspect(const std::string& Target) const {
  // Inside a restore folder a link in the target's place is itself the
  // fact that matters; at stored paths links are followed as usual.
  return platform::InspectPath(Target, folder_.empty());
}

bool RestoreRun::DecideByMode(const platform::PathInfo& Existing) const {
  const bool exists = Existing.Kind == platform::PathKind::File;
  // Packed local times compare as signed int32; equal is not newer.
  const bool storedIsNewer = exists && stamp_ > Existing.Stamp;
  switch (e_.RestoreMode) {
    case rmAll:
      return true;
    case rmNoOverwrite:
      return !exists;
    case rmNewer:
      return !exists || storedIsNewer;
    case rmExisting:
      return exists;
    case rmExistingNewer:
      return storedIsNewer;
  }
  return false;
}

void RestoreRun::RestoreEntry(const std::string& Name) {
  stamp_ = format::ReadInt32(*reader_);
  const bool isFileList = format::IsFileListName(Name);
  const std::string target = restore::TargetName(Name, folder_, e_.RestoreFullPath);
  e_.currentFile_ = target.empty() ? Name : target;

  if (isFileList) {
    decision_ = false;
  } else if (target.empty()) {
    Refuse();
  } else {
    // One look at what stands in the target's place serves the mode and the
    // guards: a link inside a restore folder is never written through, and
    // a FIFO, socket or device is never written to (a FIFO would hang).
    platform::PathInfo existing = Inspect(target);
    decision_ = DecideByMode(existing);
    if (e_.OnRestoreFile) e_.OnRestoreFile(e_, e_.currentFile_, stamp_, decision_);
    if (decision_ && e_.currentFile_ != target) existing = Inspect(e_.currentFile_);
    if (decision_ &&
        (existing.Kind == platform::PathKind::Link || existing.Kind == platform::PathKind::Other))
      Refuse();
    if (decision_) decision_ = PrepareFolder(e_.currentFile_);
  }
  if (decision_) {
    WriteFile();
  } else {
    sections_.Read(*reader_, nullptr, false);
  }
}

bool RestoreRun::PrepareFolder(const std::string& Target) {
  const std::string folder = restore::FolderOf(Target);
  if (folder.empty()) throw Exception(kCannotCreateFolder);
  if (!folder_.empty() && !LexicallyInFolder(Target)) {
    Refuse();
    return false;
  }
  if (readyFolders_.count(folder) != 0) return true;
  if (!folder_.empty() && !ResolvesInFolder(folder)) {
    Refuse();
    return false;
  }
  // The file is stepped over and the run goes on, but a restore that left
  // a file out must not end as a complete one.
  if (!platform::ForceDirectories(folder)) {
    Refuse();
    return false;
  }
  readyFolders_.insert(folder);
  return true;
}

bool RestoreRun::LexicallyInFolder(const std::string& Target) const {
  return Target.compare(0, folder_.size(), folder_) == 0 &&
         !HasParentComponent(Target.substr(folder_.size()));
}

bool RestoreRun::ResolvesInFolder(const std::string& TargetFolder) {
  if (folderResolved_.empty()) {
    // The restore folder itself may still have to be made.
    const std::string root = folder_.size() > 1 ? folder_.substr(0, folder_.size() - 1) : folder_;
    if (!platform::ForceDirectories(root)) return false;
    folderResolved_ = platform::ResolvedPath(root);
    if (folderResolved_.empty()) return false;
  }
  // The deepest folder that exists already decides: whatever is created
  // below it is new and cannot lead anywhere else.
  std::string probe = TargetFolder;
  for (;;) {
    const std::string resolved = platform::ResolvedPath(probe);
    if (!resolved.empty()) return restore::IsWithin(resolved, folderResolved_);
    const std::string parent = restore::FolderOf(probe);
    if (parent.empty() || parent == probe) return false;
    probe = parent;
  }
}

void RestoreRun::WriteFile() {
  std::unique_ptr<TFileStream> target;
  try {
    // Inside a restore folder a link that appeared since the check is
    // still never written through.
    target = std::make_unique<TFileStream>(e_.currentFile_, TFileStream::fmCreate, folder_.empty());
    sections_.Read(*reader_, target.get(), true);
    ++e_.filesDone_;
  } catch (const std::exception&) {
    e_.Fail(beCannotReadFile);
  }
  if (target) FinishTarget(target);
}

void RestoreRun::FinishTarget(std::unique_ptr<TFileStream>& Target) {
  if (e_.OnFileRestored) e_.OnFileRestored(e_, e_.currentFile_, Target);
  if (!Target) return;
  try {
    // Flushed first, so no later write can move the time again. A stamp
    // that is no valid date leaves the time of writing.
    Target->Flush();
    platform::SetFileTimeOfHandle(Target->Handle(), stamp_);
    Target->Close();
  } catch (const EStreamError&) {
    e_.Fail(beCannotReadFile);
  }
  Target.reset();
}

void RestoreRun::ChangeVolume(const std::string& Name) {
  if (fromStream_) {
    // A caller's stream has no next volume to open; it is left open and
    // untouched, and the run ends as an unreadable archive.
    e_.Fail(beCannotReadArchive);
    return;
  }
  volume_.reset();
  reader_ = nullptr;
  const std::string digits = format::VolumeDigits(Name);
  const int number = format::VolumeNumber(digits);
  if (number <= volumeNumber_) throw Exception(format::kInvalidArchive);
  volumeNumber_ = number;

  // Asked at least once; every further round asks again, so a volume that
  // stays missing never keeps the run going on its own.
  do {
    e_.AskForDisk(static_cast<uint16_t>(number));
    archiveName_ = format::NextVolumeName(archiveName_, digits);
  } while (!platform::FileExists(archiveName_) && e_.continue_);
  if (!e_.continue_) return;

  volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
  reader_ = volume_.get();
  std::unique_ptr<TFileStream> target;
  if (decision_) {
    target =
        std::make_unique<TFileStream>(e_.currentFile_, TFileStream::fmOpenWrite, folder_.empty());
    target->Seek(0, SeekOrigin::End);
  }
  try {
    sections_.Read(*reader_, target.get(), decision_);
  } catch (...) {
    if (target) FinishTarget(target);
    throw;
  }
  if (target) FinishTarget(target);
}

bool TBackupFile::Restore(const std::string& ArchiveName, const std::string& Folder) {
  return RestoreRun(*this, ArchiveName, Folder).Run();
}

bool TBackupFile::RestoreFromStream(TStream* Stream, const std::string& Folder) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  try {
    return Restore(kStreamArchiveName, Folder);
  } catch (...) {
    return false;
  }
}

}  // namespace kelmora
