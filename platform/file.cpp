// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a File does the same way on every system: it is closed with the
// object, and moving it hands its handle on.
#include "platform/file.h"

#include <cerrno>

namespace kelmora::platform {

File::~File() {
  Close();
}

File::File(File&& Other) noexcept
    : handle_(Other.handle_), owns_(Other.owns_), seekable_(Other.seekable_), error_(Other.error_) {
  Other.handle_ = kNoHandle;
}

File& File::operator=(File&& Other) noexcept {
  if (this != &Other) {
    Close();
    handle_ = Other.handle_;
    owns_ = Other.owns_;
    seekable_ = Other.seekable_;
    error_ = Other.error_;
    Other.handle_ = kNoHandle;
  }
  return *this;
}

bool FailsEveryFile(int Error) {
  switch (Error) {
    case ENOSPC:
    case EIO:
    case EROFS:
    case ENOMEM:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return true;
    default:
      return false;
  }
}

}  // namespace kelmora::platform
