// What a File does the same way on every system: it is closed with the
// object, and moving it hands its handle on.
#include "platform/file.h"

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

}  // namespace kelmora::platform
