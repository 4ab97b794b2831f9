// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive's volumes as the companion's checks and repair read them:
// through an interface, so the engine never opens a file itself for them
// and tests hand in volumes from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelmora::platform {
class File;
}

namespace kelmora::companion {

class VolumeSource {
 public:
  virtual ~VolumeSource() = default;
  // Bytes in volume Volume (1 for the first); -1 when it is missing.
  virtual int64_t Size(unsigned Volume) = 0;
  // Up to Count bytes at Offset, fewer only at the end of the volume; -1
  // when they cannot be read (a missing volume, a failing device).
  virtual int64_t ReadAt(unsigned Volume, int64_t Offset, void* Buffer, size_t Count) = 0;
};

// Volumes held in memory; an empty optional volume is missing.
class MemoryVolumes : public VolumeSource {
 public:
  explicit MemoryVolumes(std::vector<std::string> Volumes) : volumes_(std::move(Volumes)) {}
  void Remove(unsigned Volume) { missing_.push_back(Volume); }
  int64_t Size(unsigned Volume) override;
  int64_t ReadAt(unsigned Volume, int64_t Offset, void* Buffer, size_t Count) override;
  std::vector<std::string>& Volumes() { return volumes_; }

 private:
  bool Missing(unsigned Volume) const;
  std::vector<std::string> volumes_;
  std::vector<unsigned> missing_;
};

// The volume files of the archive whose first volume is First, opened as
// they are first read and kept open (a missing one is tried once).
class FileVolumes : public VolumeSource {
 public:
  explicit FileVolumes(std::string First);
  // Volumes under names of their own, volume 1 first: a backup's volumes
  // under their temporary names before they are put in place.
  explicit FileVolumes(std::vector<std::string> Names);
  ~FileVolumes() override;
  int64_t Size(unsigned Volume) override;
  int64_t ReadAt(unsigned Volume, int64_t Offset, void* Buffer, size_t Count) override;
  // The system's error number of the last failure to open or read.
  int LastError() const { return error_; }
  // The first failure other than a missing volume (the device failing to
  // give a volume that is there), 0 when none, and its volume.
  int DeviceError() const { return deviceError_; }
  unsigned DeviceErrorVolume() const { return deviceErrorVolume_; }
  // The last such failure since the last call, then forgotten: 0 when the
  // device gave every byte asked of it meanwhile.
  int TakeRecentError() { return std::exchange(recentError_, 0); }

 private:
  platform::File* Opened(unsigned Volume);
  std::string first_;
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<platform::File>> files_;
  std::vector<uint8_t> tried_;
  void Failed(unsigned Volume, int Error);
  int error_ = 0;
  int deviceError_ = 0;
  unsigned deviceErrorVolume_ = 0;
  int recentError_ = 0;
};

// The blocks of all volumes numbered in order, each volume's last block
// padded with zeros.
class BlockMap {
 public:
  BlockMap(const std::vector<int64_t>& VolumeSizes, uint32_t BlockSize);

  uint64_t Blocks() const { return first_.back(); }
  uint32_t BlockSize() const { return blockSize_; }
  unsigned Volumes() const { return static_cast<unsigned>(sizes_.size()); }
  int64_t VolumeSize(unsigned Volume) const { return sizes_[Volume - 1]; }
  uint64_t FirstBlockOf(unsigned Volume) const { return first_[Volume - 1]; }
  // The volume of a block and where it begins in it.
  unsigned VolumeOf(uint64_t Block) const;
  int64_t OffsetOf(uint64_t Block) const;

  // Reads Count blocks from First into Out (Count * block size bytes).
  // A block that could not be read at all (its volume missing, the device
  // failing, beyond the volume's end) is zeros and 0 in Readable; a block
  // the volume holds only part of is its bytes and zeros after them.
  void Read(VolumeSource& Source, uint64_t First, uint64_t Count, uint8_t* Out,
            std::vector<uint8_t>& Readable) const;

 private:
  uint32_t blockSize_;
  std::vector<int64_t> sizes_;
  std::vector<uint64_t> first_;  // first block of each volume, then the total
};

}  // namespace kelmora::companion
