// SPDX-License-Identifier: GPL-3.0-or-later
//
// A file system of one file, served by a thread of the test through
// /dev/fuse, for failures a real disk does not give on demand: a read
// error part-way through a file, an open or an access check that fails, a
// file that is empty when measured and full when written.
#pragma once

#include <string>

#ifdef _WIN32
namespace kelmora::test {

// Windows has no FUSE: nothing is ever mounted, and the tests that need
// the file system skip.
class FaultyFileSystem {
 public:
  struct File {
    std::string Data;
    int64_t ReadErrorFrom = -1;
    int FailingOpen = 0;
    bool EmptyUntilOpened = false;
    bool DenyAccess = false;
  };
  FaultyFileSystem(const std::string&, File) {}
  bool Mounted() const { return false; }
  std::string FilePath() const { return {}; }
};

}  // namespace kelmora::test
#else
#include <fcntl.h>
#include <linux/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace kelmora::test {

class FaultyFileSystem {
 public:
  struct File {
    std::string Data;
    int64_t ReadErrorFrom = -1;     // reads at or past this offset fail with EIO
    int FailingOpen = 0;            // this open (1 = first) fails with EACCES
    bool EmptyUntilOpened = false;  // the backup measures before it opens
    bool DenyAccess = false;        // access checks fail with EACCES
  };

  FaultyFileSystem(const std::string& MountPoint, File Contents)
      : mountPoint_(MountPoint), file_(std::move(Contents)) {
    fd_ = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return;
    const std::string options = "fd=" + std::to_string(fd_) +
                                ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
                                ",group_id=" + std::to_string(::getgid());
    if (::mount("kelmora-test", MountPoint.c_str(), "fuse.kelmora-test", MS_NOSUID | MS_NODEV,
                options.c_str()) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    server_ = std::thread([this] { Serve(); });
  }

  ~FaultyFileSystem() {
    if (fd_ < 0) return;
    ::umount2(mountPoint_.c_str(), MNT_DETACH);
    server_.join();
    ::close(fd_);
  }

  FaultyFileSystem(const FaultyFileSystem&) = delete;
  FaultyFileSystem& operator=(const FaultyFileSystem&) = delete;

  bool Mounted() const { return fd_ >= 0; }
  std::string FilePath() const { return mountPoint_ + "/file"; }
  int Opens() const { return opens_; }

 private:
  static constexpr uint64_t kFileNode = 2;

  void Serve() {
    std::vector<char> buffer(FUSE_MIN_READ_BUFFER + (1 << 20));
    for (;;) {
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == ENOENT)) continue;
      if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) return;  // unmounted
      const auto* in = reinterpret_cast<const fuse_in_header*>(buffer.data());
      Handle(*in, buffer.data() + sizeof(fuse_in_header));
    }
  }

  int64_t Size() const {
    if (file_.EmptyUntilOpened && opens_ < 1) return 0;
    return static_cast<int64_t>(file_.Data.size());
  }

  fuse_attr Attributes(uint64_t Node) const {
    fuse_attr attr{};
    attr.ino = Node;
    attr.nlink = 1;
    attr.uid = ::getuid();
    attr.gid = ::getgid();
    attr.blksize = 4096;
    attr.mtime = 1700000000;
    if (Node == FUSE_ROOT_ID) {
      attr.mode = S_IFDIR | 0755;
    } else {
      attr.mode = S_IFREG | 0444;
      attr.size = static_cast<uint64_t>(Size());
    }
    return attr;
  }

  void Handle(const fuse_in_header& In, const char* Argument) {
    switch (In.opcode) {
      case FUSE_INIT: {
        const auto* init = reinterpret_cast<const fuse_init_in*>(Argument);
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = FUSE_KERNEL_MINOR_VERSION;
        out.max_readahead = init->max_readahead;
        out.max_write = 1 << 16;
        return Reply(In, 0, &out, sizeof out);
      }
      case FUSE_LOOKUP: {
        if (In.nodeid != FUSE_ROOT_ID || std::strcmp(Argument, "file") != 0)
          return Reply(In, -ENOENT);
        fuse_entry_out out{};
        out.nodeid = kFileNode;
        out.attr = Attributes(kFileNode);  // valid for 0 s: asked afresh each time
        return Reply(In, 0, &out, sizeof out);
      }
      case FUSE_GETATTR: {
        fuse_attr_out out{};
        out.attr = Attributes(In.nodeid);
        return Reply(In, 0, &out, sizeof out);
      }
      case FUSE_OPEN: {
        ++opens_;
        if (opens_ == file_.FailingOpen) return Reply(In, -EACCES);
        fuse_open_out out{};
        out.open_flags = FOPEN_DIRECT_IO;  // every read comes here, none from a cache
        return Reply(In, 0, &out, sizeof out);
      }
      case FUSE_ACCESS:
        return Reply(In, file_.DenyAccess ? -EACCES : 0);
      case FUSE_OPENDIR: {
        fuse_open_out out{};
        return Reply(In, 0, &out, sizeof out);
      }
      case FUSE_READ: {
        const auto* read = reinterpret_cast<const fuse_read_in*>(Argument);
        const int64_t offset = static_cast<int64_t>(read->offset);
        if (file_.ReadErrorFrom >= 0 && offset >= file_.ReadErrorFrom) return Reply(In, -EIO);
        int64_t end = std::min<int64_t>(offset + read->size, Size());
        if (file_.ReadErrorFrom >= 0) end = std::min(end, file_.ReadErrorFrom);
        if (end <= offset) return Reply(In, 0);
        return Reply(In, 0, file_.Data.data() + offset, static_cast<size_t>(end - offset));
      }
      case FUSE_READDIR:
      case FUSE_RELEASE:
      case FUSE_RELEASEDIR:
      case FUSE_FLUSH:
      case FUSE_DESTROY:
        return Reply(In, 0);
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
      case FUSE_INTERRUPT:
        return;  // these take no answer
      default:
        return Reply(In, -ENOSYS);
    }
  }

  void Reply(const fuse_in_header& In, int Error, const void* Data = nullptr, size_t Size = 0) {
    fuse_out_header out{};
    out.unique = In.unique;
    out.error = Error;
    out.len = static_cast<uint32_t>(sizeof out + Size);
    iovec parts[2] = {{&out, sizeof out}, {const_cast<void*>(Data), Size}};
    (void)!::writev(fd_, parts, Size != 0 ? 2 : 1);
  }

  std::string mountPoint_;
  File file_;
  int fd_ = -1;
  std::atomic<int> opens_{0};
  std::thread server_;
};

}  // namespace kelmora::test
#endif
