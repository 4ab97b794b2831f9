// SPDX-License-Identifier: GPL-3.0-or-later

#include "kelmora/helpers.h"

#include "engine/archive_format.h"
#include "engine/restore_target.h"
#include "engine/selection.h"
#include "engine/volume_chain.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "platform/stamp_fields.h"
#include "platform/working_files.h"

namespace kelmora {

std::string VolumeFileName(const std::string& First, unsigned Volume) {
  // Later volumes lie beside the first one's target, where a backup
  // through a linked archive path wrote them.
  return VolumeChain(First).Name(static_cast<int>(Volume));
}

bool HasUnfinishedReplacement(const std::string& ArchiveName) {
  return platform::FileExists(platform::JournalPathOf(platform::LinkTarget(ArchiveName)));
}

std::string CompanionFileName(const std::string& ArchiveName) {
  // Beside the file a linked archive path leads to, with its volumes.
  return platform::LinkTarget(ArchiveName) + ".kx";
}

bool UnpackStamp(int32_t Stamp, std::time_t& Time) {
  return platform::UnpackTime(Stamp, Time);
}

bool SplitStamp(int32_t Stamp, TStampFields& Fields) {
  platform::StampFields f;
  if (!platform::SplitStamp(Stamp, f)) return false;
  Fields = {f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second};
  return true;
}

std::string StoredPath(const std::string& Stored) {
  return restore::StoredPath(Stored);
}

std::string FolderPart(const std::string& Path) {
  return restore::FolderOf(Path);
}

std::string DescribeException(const std::exception& Error) {
  const auto* stream = dynamic_cast<const EStreamError*>(&Error);
  if (stream == nullptr || stream->SystemError() == 0) return Error.what();
  return std::string(Error.what()) + ": " + platform::ErrorText(stream->SystemError());
}

TStringList SelectFiles(const TStringList& Sources, const std::string& ArchiveName,
                        TBackupMode Mode) {
  TStringList selected;
  SelectSourceFiles(Sources, ArchiveName, Mode, selected);
  return selected;
}

bool HasSubdirectorySwitch(const std::string& Source) {
  return FindSubdirectorySwitch(Source) != std::string::npos;
}

std::string FolderSpecification(const std::string& Folder, bool SubDirectories) {
  std::string pattern = Folder;
  while (pattern.size() > 1 && platform::IsPathSeparator(pattern.back())) pattern.pop_back();
  if (pattern.empty() || !platform::IsPathSeparator(pattern.back())) pattern += platform::kPathSeparator;
  pattern += "*.*";
  return SubDirectories ? pattern + " /s" : pattern;
}

}  // namespace kelmora
