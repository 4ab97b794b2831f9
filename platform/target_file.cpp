// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a target's folder handle and temporary name are on every system:
// the handle is closed with the object and moving it hands it on; each
// system closes it its own way.
#include "platform/target_file.h"

#include <random>

namespace kelmora::platform {

FolderHandle::~FolderHandle() {
  Close();
}

FolderHandle FolderHandle::Failure(int Error) {
  FolderHandle failed;
  failed.error_ = Error;
  return failed;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& Other) noexcept {
  if (this != &Other) {
    Close();
    handle_ = Other.handle_;
    error_ = Other.error_;
    made_ = Other.made_;
    identity_ = Other.identity_;
    Other.handle_ = kNoHandle;
  }
  return *this;
}

std::string TemporaryName() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static thread_local std::mt19937 gen{std::random_device{}()};
  std::string name = ".kelmora-";
  for (int i = 0; i < 10; ++i) name += kLetters[gen() % (sizeof kLetters - 1)];
  return name + ".part";
}

}  // namespace kelmora::platform
