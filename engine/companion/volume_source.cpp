// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/volume_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/archive_format.h"
#include "engine/companion/sections.h"
#include "platform/file.h"

namespace kelmora::companion {

bool MemoryVolumes::Missing(unsigned Volume) const {
  return Volume == 0 || Volume > volumes_.size() ||
         std::find(missing_.begin(), missing_.end(), Volume) != missing_.end();
}

int64_t MemoryVolumes::Size(unsigned Volume) {
  return Missing(Volume) ? -1 : static_cast<int64_t>(volumes_[Volume - 1].size());
}

int64_t MemoryVolumes::ReadAt(unsigned Volume, int64_t Offset, void* Buffer, size_t Count) {
  if (Missing(Volume) || Offset < 0) return -1;
  const std::string& v = volumes_[Volume - 1];
  if (Offset >= static_cast<int64_t>(v.size())) return 0;
  const size_t n = std::min(Count, v.size() - static_cast<size_t>(Offset));
  std::memcpy(Buffer, v.data() + Offset, n);
  return static_cast<int64_t>(n);
}

FileVolumes::FileVolumes(std::string First) : first_(std::move(First)) {}

FileVolumes::FileVolumes(std::vector<std::string> Names) : names_(std::move(Names)) {}

FileVolumes::~FileVolumes() = default;

platform::File* FileVolumes::Opened(unsigned Volume) {
  if (Volume == 0 || Volume > static_cast<unsigned>(format::kMaxVolumes) ||
      (first_.empty() && Volume > names_.size()))
    return nullptr;
  if (files_.size() < Volume) {
    files_.resize(Volume);
    tried_.resize(Volume, 0);
  }
  if (!tried_[Volume - 1]) {
    tried_[Volume - 1] = 1;
    auto file = std::make_unique<platform::File>(platform::File::Open(
        first_.empty() ? names_[Volume - 1] : format::VolumeName(first_, Volume),
        platform::OpenMode::Read, true));
    if (file->Valid())
      files_[Volume - 1] = std::move(file);
    else
      Failed(Volume, file->LastError());
  }
  return files_[Volume - 1].get();
}

void FileVolumes::Failed(unsigned Volume, int Error) {
  error_ = Error;
  if (Error == 0 || Error == ENOENT) return;
  recentError_ = Error;
  if (deviceError_ == 0) {
    deviceError_ = Error;
    deviceErrorVolume_ = Volume;
  }
}

int64_t FileVolumes::Size(unsigned Volume) {
  platform::File* file = Opened(Volume);
  platform::FileState state;
  if (file == nullptr) return -1;
  if (!file->State(state) || state.Kind != platform::FileKind::Regular) {
    Failed(Volume, file->LastError());
    return -1;
  }
  return state.Size;
}

int64_t FileVolumes::ReadAt(unsigned Volume, int64_t Offset, void* Buffer, size_t Count) {
  platform::File* file = Opened(Volume);
  if (file == nullptr) return -1;
  if (file->Seek(Offset, platform::SeekFrom::Begin) != Offset) {
    Failed(Volume, file->LastError());
    return -1;
  }
  auto* out = static_cast<char*>(Buffer);
  size_t done = 0;
  while (done < Count) {
    const int64_t n = file->Read(out + done, Count - done);
    if (n < 0) {
      Failed(Volume, file->LastError());
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

BlockMap::BlockMap(const std::vector<int64_t>& VolumeSizes, uint32_t BlockSize)
    : blockSize_(BlockSize), sizes_(VolumeSizes) {
  first_.push_back(0);
  for (int64_t size : sizes_)
    first_.push_back(first_.back() + static_cast<uint64_t>(BlocksOf(size, blockSize_)));
}

unsigned BlockMap::VolumeOf(uint64_t Block) const {
  // The last volume whose first block is at or before Block, passing over
  // volumes that hold no block.
  const auto after = std::upper_bound(first_.begin(), first_.end() - 1, Block);
  return static_cast<unsigned>(after - first_.begin());
}

int64_t BlockMap::OffsetOf(uint64_t Block) const {
  return static_cast<int64_t>(Block - first_[VolumeOf(Block) - 1]) * blockSize_;
}

void BlockMap::Read(VolumeSource& Source, uint64_t First, uint64_t Count, uint8_t* Out,
                    std::vector<uint8_t>& Readable) const {
  Readable.assign(Count, 0);
  uint64_t block = First;
  while (block < First + Count) {
    const unsigned volume = VolumeOf(block);
    const uint64_t end = std::min(First + Count, first_[volume]);
    const int64_t offset = OffsetOf(block);
    const int64_t wanted = std::min<int64_t>(static_cast<int64_t>(end - block) * blockSize_,
                                             sizes_[volume - 1] - offset);
    uint8_t* into = Out + (block - First) * blockSize_;
    const size_t span = static_cast<size_t>(end - block) * blockSize_;
    int64_t got = Source.ReadAt(volume, offset, into, static_cast<size_t>(wanted));
    // Whatever the volume did not give reads as zeros: the padding of its
    // last block, a part cut off, a block that failed.
    if (got < static_cast<int64_t>(span))
      std::memset(into + std::max<int64_t>(got, 0), 0,
                  span - static_cast<size_t>(std::max<int64_t>(got, 0)));
    if (got < 0 && end - block > 1) {
      // One bad spot fails the whole read: block by block, only the
      // blocks it lies in are lost.
      got = 0;
      for (uint64_t b = block; b < end; ++b) {
        const int64_t at = OffsetOf(b);
        const int64_t want = std::min<int64_t>(blockSize_, sizes_[volume - 1] - at);
        uint8_t* to = Out + (b - First) * blockSize_;
        const int64_t n = Source.ReadAt(volume, at, to, static_cast<size_t>(want));
        if (n > 0) Readable[b - First] = 1;
        std::memset(to + std::max<int64_t>(n, 0), 0,
                    blockSize_ - static_cast<size_t>(std::max<int64_t>(n, 0)));
      }
    } else if (got > 0) {
      // Blocks the volume still holds at least a byte of.
      const uint64_t whole = (static_cast<uint64_t>(got) + blockSize_ - 1) / blockSize_;
      for (uint64_t b = 0; b < whole; ++b) Readable[block - First + b] = 1;
    }
    block = end;
  }
}

}  // namespace kelmora::companion
