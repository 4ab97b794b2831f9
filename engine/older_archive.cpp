// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/older_archive.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/archive_format.h"
#include "engine/volume_chain.h"
#include "platform/file.h"
#include "platform/path_guard.h"
#include "platform/platform.h"

namespace kelmora {

// One volume read record by record: the few bytes of a record are taken
// through a window of 64 KiB, so the records of small files share one read
// and chunks are stepped over within it. Its reads go forward in large
// pieces, as the system's read-ahead expects: reading only the 4 bytes of
// each chunk's length, scattered every 16 KiB, took ten times longer from
// a cold disk than reading all of it.
class OlderVolumeReader {
 public:
  bool Open(const std::string& Path) {
    file_ = platform::File::Open(Path, platform::OpenMode::Read);
    platform::FileState state;
    filled_ = 0;
    start_ = 0;
    // A missing file is no read failure: the chain simply ends there.
    if (!file_.Valid()) {
      if (file_.LastError() != ENOENT) error_ = file_.LastError();
      return false;
    }
    if (!file_.State(state)) {
      error_ = file_.LastError();
      return false;
    }
    if (state.Kind != platform::FileKind::Regular) return false;
    size_ = state.Size;
    return true;
  }
  // Why the last read stopped short: the system's error number, 0 when
  // the file simply ended or held something else.
  int Error() const { return error_; }
  const platform::File& File() const { return file_; }
  int64_t Size() const { return size_; }

  // Count bytes at At; false when they are not all there.
  bool ReadAt(int64_t At, void* Out, size_t Count) {
    if (At < 0 || Count > kWindow || At + static_cast<int64_t>(Count) > size_) return false;
    if (At < start_ || At + static_cast<int64_t>(Count) > start_ + static_cast<int64_t>(filled_)) {
      filled_ = 0;
      start_ = At;
      if (file_.Seek(At, platform::SeekFrom::Begin) != At) {
        error_ = file_.LastError();
        return false;
      }
      while (filled_ < kWindow) {
        const int64_t n = file_.Read(window_.get() + filled_, kWindow - filled_);
        if (n < 0) error_ = file_.LastError();
        if (n <= 0) break;
        filled_ += static_cast<size_t>(n);
      }
      if (filled_ < Count) return false;
    }
    std::memcpy(Out, window_.get() + (At - start_), Count);
    return true;
  }
  bool Int32At(int64_t At, int32_t& Value) {
    unsigned char bytes[4];
    if (!ReadAt(At, bytes, 4)) return false;
    Value = format::Int32At(bytes);
    return true;
  }

  // Steps over the data section at At: its signature, every chunk and its
  // terminator. False where the layout cannot be followed.
  bool StepOverSection(int64_t& At) {
    char signature[4];
    if (!ReadAt(At, signature, 4) || std::memcmp(signature, format::kSectionSignature, 4) != 0)
      return false;
    At += 4;
    for (;;) {
      int32_t length = 0;
      if (!Int32At(At, length) || length > format::kPieceSize || length < -format::kPieceSize)
        return false;
      At += 4;
      if (length == 0) return true;
      At += length < 0 ? -static_cast<int64_t>(length) : length;
      if (At > size_) return false;
    }
  }

 private:
  static constexpr size_t kWindow = size_t{64} << 10;
  platform::File file_;
  int64_t size_ = 0;
  int64_t start_ = 0;
  size_t filled_ = 0;
  int error_ = 0;
  std::unique_ptr<unsigned char[]> window_ = std::make_unique<unsigned char[]>(kWindow);
};

OlderArchive::OlderArchive(const std::string& First) : first_(First) {
  // A chain that does not read to its end proves no later volume.
  OlderVolumeReader volume;
  if (!ReadChain(First, volume) && volumes_.size() > 1) volumes_.resize(1);
  readError_ = volume.Error();
}

bool OlderArchive::ReadChain(const std::string& First, OlderVolumeReader& volume) {
  unreadPath_ = First;
  const VolumeChain chain(First);
  if (!volume.Open(First)) return false;
  platform::FileIdentity identity;
  platform::IdentityOf(volume.File(), identity);
  volumes_.push_back({First, identity});

  int32_t titleLength = 0, count = 0;
  if (!volume.Int32At(0, titleLength) || titleLength < 0 || titleLength > format::kMaxNameLength)
    return false;
  int64_t at = 4 + static_cast<int64_t>(titleLength) + 4;
  if (!volume.Int32At(at, count) || count < 0) return false;
  at += 4;
  int32_t entries = 0;
  for (;;) {
    int32_t length = 0;
    if (!volume.Int32At(at, length)) return false;
    at += 4;
    if (length == 0) return at == volume.Size() && entries == count;
    if (length < 0 || length > format::kMaxNameLength || at + length > volume.Size()) return false;
    // Only a name of one of these two lengths can be a record of its own.
    std::string name;
    if (length == format::kVolumeChangeNameLength ||
        length == static_cast<int32_t>(std::strlen(format::kFileListName))) {
      name.resize(static_cast<size_t>(length));
      if (!volume.ReadAt(at, name.data(), name.size())) return false;
    }
    at += length;
    if (format::IsVolumeChangeName(name)) {
      const unsigned next = Volumes() + 1;
      if (at != volume.Size() || next > static_cast<unsigned>(format::kMaxVolumes) ||
          VolumeChain::NextNumber(name, static_cast<int>(next) - 1) != static_cast<int>(next))
        return false;
      const std::string path = chain.Name(static_cast<int>(next));
      if (path == First) return false;
      unreadPath_ = path;
      if (!volume.Open(path)) return false;
      platform::IdentityOf(volume.File(), identity);
      volumes_.push_back({path, identity});
      at = 0;  // the file it cuts goes on in a section of its own
    } else {
      if (!format::IsFileListName(name)) ++entries;
      at += 4;  // the time stamp
    }
    if (!volume.StepOverSection(at)) return false;
  }
}

TStringList OlderArchive::Files() const {
  TStringList files{first_};
  for (size_t i = 1; i < volumes_.size(); ++i) files.push_back(volumes_[i].Path);
  return files;
}

bool OlderArchive::Owns(unsigned Number, const std::string& Path) const {
  if (Number < 1 || Number > Volumes() || volumes_[Number - 1].Path != Path) return false;
  platform::FileIdentity now;
  return platform::IdentityOfPath(Path, now) && now == volumes_[Number - 1].Identity;
}

std::string FindForeignVolume(const std::string& First, const OlderArchive& Older) {
  const VolumeChain chain(First);
  for (int number = 2; number <= format::kMaxVolumes; ++number) {
    const std::string name = chain.Name(number);
    // An archive named like one of its own later volumes is refused when
    // that volume comes to be written.
    if (name == First) continue;
    if (platform::InspectPath(name, false).Kind == platform::PathKind::Missing) continue;
    if (!Older.Owns(static_cast<unsigned>(number), name)) return name;
  }
  return {};
}

}  // namespace kelmora
