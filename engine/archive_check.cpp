// SPDX-License-Identifier: GPL-3.0-or-later
//
// What stands between a path and reading it as an archive, told before any
// run begins, so that every front end names the real obstacle (a folder,
// a device, no permission, an empty or foreign file) rather than one
// catch-all "archive not found".
#include <cerrno>
#include <memory>
#include <string>

#include "engine/archive_format.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "platform/path_guard.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// Whether the bytes a file begins with could begin an archive: a header
// whose title fits in the file, then the end marker or a record of a
// sensible length. A file cut short anywhere after the first length may
// still be an archive, one that is damaged, which a run reports as such.
bool BeginsLikeArchive(TStream& File, int64_t Size) {
  const auto fits = [Size](int64_t At, int64_t Length) {
    return Length >= 0 && Length <= format::kMaxNameLength && At + Length <= Size;
  };
  if (Size < 4) return false;
  const int32_t titleLength = format::ReadInt32(File);
  if (!fits(4, titleLength)) return false;
  int64_t at = 4 + static_cast<int64_t>(titleLength);
  if (at + 12 > Size) return true;  // cut inside the header
  File.Skip(titleLength);
  const int32_t totalSize = format::ReadInt32(File);
  const int32_t fileCount = format::ReadInt32(File);
  const int32_t nameLength = format::ReadInt32(File);
  at += 12;
  if (totalSize < 0 || fileCount < 0 || nameLength < 0 || nameLength > format::kMaxNameLength)
    return false;
  if (nameLength == 0 || at + nameLength + 8 > Size) return true;
  // The name, its time stamp and the signature of its data section.
  File.Skip(nameLength + 4);
  char signature[4];
  File.ReadBuffer(signature, 4);
  return std::string(signature, 4) == std::string(format::kSectionSignature, 4);
}

// Whether a data section's signature lies in the first bytes of File. An
// archive whose header is damaged is still read from its first sound
// entry on, and every entry has one; a text, a photo or a disk image has
// none there.
bool HoldsSectionSignature(TStream& File) {
  constexpr int64_t kLookedAt = int64_t{64} << 20;
  constexpr size_t kBlock = 64 * 1024;
  const std::string signature(format::kSectionSignature, 4);
  std::string window;
  File.Seek(0, SeekOrigin::Begin);
  std::string block(kBlock, '\0');
  for (int64_t read = 0; read < kLookedAt;) {
    const size_t n = File.Read(block.data(), block.size());
    if (n == 0) return false;
    read += static_cast<int64_t>(n);
    // The last three bytes of the block before, for a signature cut in two.
    window.erase(0, window.size() > 3 ? window.size() - 3 : 0);
    window.append(block, 0, n);
    if (window.find(signature) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TArchiveCheck CheckArchive(const std::string& ArchiveName) {
  const auto cannot = [&ArchiveName](TArchiveObstacle Obstacle, TBackupError Code,
                                     const std::string& Reason) {
    return TArchiveCheck{Obstacle, {Code, ArchiveName, Reason}};
  };
  const auto unreadable = [&cannot](int Error) {
    return cannot(Error == EACCES || Error == EPERM ? aoNoPermission : aoUnreadable,
                  beCannotReadArchive, platform::ErrorText(Error));
  };
  // A run completes an unfinished replacement before it reads anything, so
  // what lies at the name now is not yet the archive it will read.
  if (HasUnfinishedReplacement(ArchiveName)) return {};
  const platform::PathInfo info = platform::InspectPath(ArchiveName, true);
  if (info.Kind == platform::PathKind::Missing)
    return info.Error != 0 ? unreadable(info.Error)
                           : cannot(aoMissing, beCannotReadArchive, "archive not found");
  if (info.Kind == platform::PathKind::Directory)
    return cannot(aoFolder, beCannotReadArchive, "it is a folder, not an archive");
  if (info.Kind != platform::PathKind::File)
    return cannot(aoNotRegular, beCannotReadArchive,
                  "it is no regular file (a device, a FIFO or a socket); an archive on a pipe "
                  "is read from standard input (-)");
  try {
    TFileStream file(ArchiveName, TFileStream::fmOpenRead);
    const int64_t size = file.Size();
    if (size == 0) return cannot(aoEmpty, beInvalidArchive, "it is empty, not a Kelmora archive");
    if (!BeginsLikeArchive(file, size) && !HoldsSectionSignature(file))
      return cannot(aoForeign, beInvalidArchive, "it is not a Kelmora archive");
  } catch (const EStreamError& e) {
    if (e.SystemError() != 0) return unreadable(e.SystemError());
    return cannot(aoUnreadable, beCannotReadArchive, e.what());
  }
  return {};
}

TFailure CheckArchiveFile(const std::string& ArchiveName) {
  return CheckArchive(ArchiveName).Failure;
}

}  // namespace kelmora
