// SPDX-License-Identifier: GPL-3.0-or-later
//
// The volumes of a backup as they are written (engine/volume_writer.h).
#include "engine/volume_writer.h"

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/archive_format.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

namespace {

int ErrorOf(const EStreamError& Error) {
  return Error.SystemError() != 0 ? Error.SystemError() : EIO;
}

}  // namespace

void VolumeWriter::Begin() {
  if (!target_.ToStream()) {
    BeginVolume(target_.Name());
    return;
  }
  if (target_.Stream() == nullptr) throw EStreamError(kStreamWriteError);
  sink_.Attach(target_.Stream());
}

std::vector<std::string> VolumeWriter::Names() const {
  std::vector<std::string> names;
  for (const Volume& volume : volumes_)
    names.push_back(volume.Temp.empty() ? volume.Final : volume.Temp);
  return names;
}

std::string VolumeWriter::CannotAddVolume() const {
  // A caller's stream is never closed, so it can hold only one volume.
  if (target_.ToStream()) return "a stream holds one volume only";
  if (volumes_.size() >= static_cast<size_t>(format::kMaxVolumes))
    return "an archive holds at most " + std::to_string(format::kMaxVolumes) + " volumes";
  return {};
}

int VolumeWriter::EndVolume() {
  if (volumes_.size() != 1 || direct_) return volume_.Close();
  try {
    first_ = volume_.Detach();
  } catch (const EStreamError& e) {
    volume_.Close();
    return ErrorOf(e);
  }
  return 0;
}

void VolumeWriter::BeginVolume(const std::string& Final) {
  if (direct_) {
    volume_.Open(std::make_unique<TFileStream>(Final, TFileStream::fmCreate));
    volumes_.push_back({Final, std::string()});
  } else {
    std::string temp;
    platform::File file = platform::CreateFileBeside(Final, temp);
    if (!file.Valid()) throw EArchiveWrite(file.LastError());
    volumes_.push_back({Final, temp});
    volume_.Open(std::make_unique<THandleStream>(std::move(file)));
  }
  sink_.Attach(&volume_);
}

void VolumeWriter::RewindTo(size_t Index, int64_t Position) {
  if (volumes_.size() > Index + 1) {
    volume_.Close();  // its bytes go with it
    while (volumes_.size() > Index + 1) {
      platform::DeleteFile(volumes_.back().Temp);
      volumes_.pop_back();
    }
    if (first_ && Index == 0) {
      volume_.Open(std::move(first_));
      volume_.CutAt(Position);
    } else {
      volume_.Reopen(volumes_.back().Temp, Position);
    }
  } else {
    volume_.CutAt(Position);
  }
  sink_.Attach(&volume_);
}

bool VolumeWriter::PatchCount(int64_t At, int32_t Count) {
  if (target_.ToStream()) {
    TStream& stream = *target_.Stream();
    const int64_t end = stream.Position();
    try {
      stream.Seek(At, SeekOrigin::Begin);
    } catch (const EStreamError&) {
      return false;  // it cannot seek
    }
    format::WriteInt32(stream, Count);
    stream.Seek(end, SeekOrigin::Begin);
    return true;
  }
  // A device cannot be taken back.
  if (direct_ || volumes_.empty()) return false;
  if (!first_) first_ = volume_.Detach();
  const int64_t end = first_->Position();
  first_->Seek(At, SeekOrigin::Begin);
  format::WriteInt32(*first_, Count);
  first_->Seek(end, SeekOrigin::Begin);
  return true;
}

int VolumeWriter::Close(std::string& Failed) {
  int error = volume_.Close();
  if (error != 0) Failed = Written();
  if (first_) {
    int firstError = 0;
    try {
      first_->Close();
    } catch (const EStreamError& e) {
      firstError = ErrorOf(e);
    }
    first_.reset();
    if (error == 0 && firstError != 0) {
      error = firstError;
      Failed = volumes_.front().Final;
    }
  }
  return error;
}

int VolumeWriter::Sync(std::string& Failed) const {
  for (const Volume& volume : volumes_) {
    if (const int error = platform::SyncFile(volume.Temp); error != 0) {
      Failed = volume.Final;
      return error;
    }
  }
  return 0;
}

void VolumeWriter::Release() {
  for (Volume& volume : volumes_) {
    platform::ReleaseTemporary(volume.Temp);
    volume.Temp.clear();
  }
}

void VolumeWriter::Discard() {
  volume_.Close();
  first_.reset();
  for (const Volume& volume : volumes_)
    if (!volume.Temp.empty()) platform::DeleteFile(volume.Temp);
  volumes_.clear();
}

}  // namespace kelmora
