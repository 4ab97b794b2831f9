// SPDX-License-Identifier: GPL-3.0-or-later
//
// The engine's streams on real files, pipes and memory: round trips across
// the buffer size, seeking and skipping, and every failure message.
#include "kelmora/streams.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::string ReadAll(TStream& stream, size_t piece) {
  std::string out, buf(piece, '\0');
  for (;;) {
    const size_t n = stream.Read(buf.data(), buf.size());
    if (n == 0) return out;
    out.append(buf.data(), n);
  }
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EStreamError& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(FileStream, RoundTripAcrossBufferSize) {
  TempDir dir;
  const std::string data = test::RandomBytes(300 * 1024 + 7);
  {
    TFileStream out(dir / "f.bin", TFileStream::fmCreate);
    // Small writes that fill the buffer, then one larger than it.
    size_t at = 0;
    for (size_t step : {1u, 4u, 100u, 16384u, 70000u}) {
      out.WriteBuffer(data.data() + at, step);
      at += step;
    }
    out.WriteBuffer(data.data() + at, data.size() - at);
    EXPECT_EQ(out.Position(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(out.Size(), static_cast<int64_t>(data.size()));
    out.Close();
  }
  EXPECT_EQ(ReadFile(dir / "f.bin"), data);
  for (size_t piece : {1u, 3u, 4096u, 65536u, 200000u}) {
    TFileStream in(dir / "f.bin", TFileStream::fmOpenRead);
    EXPECT_EQ(ReadAll(in, piece), data) << "piece " << piece;
    EXPECT_EQ(in.Position(), static_cast<int64_t>(data.size()));
  }
}

TEST(FileStream, SeekAndSkipLandOnTheRightByte) {
  TempDir dir;
  const std::string data = test::RandomBytes(200000, 3);
  WriteFile(dir / "f.bin", data);
  TFileStream in(dir / "f.bin", TFileStream::fmOpenRead);
  char c;
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[0]);
  in.Skip(10);  // inside the read-ahead
  EXPECT_EQ(in.Position(), 11);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[11]);
  in.Skip(100000);  // beyond it
  EXPECT_EQ(in.Position(), 100012);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[100012]);
  EXPECT_EQ(in.Seek(5, SeekOrigin::Begin), 5);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[5]);
  // Inside the read-ahead, back and forth and to its very end.
  for (const int64_t at : {4000, 6, 5 + 65536, 70000, 5}) {
    EXPECT_EQ(in.Seek(at, SeekOrigin::Begin), at);
    in.ReadBuffer(&c, 1);
    EXPECT_EQ(c, data[static_cast<size_t>(at)]) << at;
  }
  EXPECT_EQ(in.Seek(-1, SeekOrigin::End), 199999);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[199999]);
  EXPECT_EQ(in.Read(&c, 1), 0u);
  EXPECT_EQ(in.Seek(-10, SeekOrigin::Current), 199990);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[199990]);
  EXPECT_EQ(MessageOf([&] { in.Seek(-1, SeekOrigin::Begin); }), kStreamReadError);
}

TEST(FileStream, WriteAfterReadGoesToTheLogicalPosition) {
  TempDir dir;
  WriteFile(dir / "f.bin", std::string(1000, 'a'));
  {
    TFileStream s(dir / "f.bin", TFileStream::fmOpenWrite);
    s.WriteBuffer("bb", 2);
    s.Close();
  }
  EXPECT_EQ(ReadFile(dir / "f.bin"), "bb" + std::string(998, 'a'));
  {
    TFileStream s(dir / "g.bin", TFileStream::fmCreate);
    s.WriteBuffer("0123456789", 10);
    s.Seek(0, SeekOrigin::Begin);
    char two[2];
    s.ReadBuffer(two, 2);  // reads ahead past byte 2
    s.WriteBuffer("XY", 2);
    // A seek inside what was read ahead, then a write.
    s.Seek(0, SeekOrigin::Begin);
    s.ReadBuffer(two, 1);
    s.Seek(6, SeekOrigin::Begin);
    s.WriteBuffer("Q", 1);
    s.Close();
  }
  EXPECT_EQ(ReadFile(dir / "g.bin"), "01XY45Q789");
}

TEST(FileStream, CreateTruncatesAnExistingFile) {
  TempDir dir;
  WriteFile(dir / "f.bin", "old contents");
  TFileStream(dir / "f.bin", TFileStream::fmCreate).Close();
  EXPECT_EQ(ReadFile(dir / "f.bin"), "");
}

TEST(FileStream, OpenFailureNamesTheFile) {
  TempDir dir;
  const std::string missing = dir / "missing.bin";
  try {
    TFileStream s(missing, TFileStream::fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    // The file, then the system's reason.
    EXPECT_EQ(std::string(e.what()).find("Cannot open file " + missing + ": "), 0u) << e.what();
    EXPECT_EQ(e.SystemError(), ENOENT);
    EXPECT_NE(std::string(e.what()).find(platform::ErrorText(ENOENT)), std::string::npos);
  }
  // fmOpenWrite never creates.
  EXPECT_THROW(TFileStream(missing, TFileStream::fmOpenWrite), EFOpenError);
  EXPECT_FALSE(std::filesystem::exists(missing));
  // A folder is no file, although Linux lets it open read-only.
  EXPECT_THROW(TFileStream(dir.path(), TFileStream::fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(dir / "no/such/folder.bin", TFileStream::fmCreate), EFOpenError);
}

// A FIFO standing where a file is expected must not block the open: for
// writing without a reader it fails, for reading it opens and reads empty.
TEST(FileStream, FifoNeverBlocksTheOpen) {
  KELMORA_POSIX_ONLY("FIFOs");
  TempDir dir;
  const std::string fifo = dir / "fifo";
  test::MakeFifo(fifo);
  EXPECT_THROW(TFileStream(fifo, TFileStream::fmOpenWrite), EFOpenError);
  TFileStream reader(fifo, TFileStream::fmOpenRead);
  char byte;
  EXPECT_EQ(reader.Read(&byte, 1), 0u);
}

TEST(FileStream, LinksAreRefusedWhenNotToBeFollowed) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  TempDir dir;
  test::WriteFile(dir / "real.txt", "real");
  std::filesystem::create_symlink(dir / "real.txt", dir / "link.txt");
  EXPECT_THROW(TFileStream(dir / "link.txt", TFileStream::fmCreate, false), EFOpenError);
  EXPECT_THROW(TFileStream(dir / "link.txt", TFileStream::fmOpenWrite, false), EFOpenError);
  EXPECT_EQ(test::ReadFile(dir / "real.txt"), "real");
  TFileStream followed(dir / "link.txt", TFileStream::fmOpenWrite);
  followed.WriteBuffer("R", 1);
  followed.Close();
  EXPECT_EQ(test::ReadFile(dir / "real.txt"), "Real");
}

TEST(FileStream, ShortReadBufferIsAReadError) {
  TempDir dir;
  WriteFile(dir / "f.bin", "abc");
  TFileStream in(dir / "f.bin", TFileStream::fmOpenRead);
  char buf[4];
  EXPECT_EQ(MessageOf([&] { in.ReadBuffer(buf, 4); }), kStreamReadError);
}

TEST(FileStream, FullDeviceFailsOnFlushAndClose) {
  if (!platform::File::Open("/dev/full", platform::OpenMode::Write).Valid())
    GTEST_SKIP() << "no writable /dev/full";
  {
    TFileStream s("/dev/full", TFileStream::fmOpenWrite);
    s.WriteBuffer("abc", 3);  // buffered, nothing reached the device yet
    EXPECT_EQ(MessageOf([&] { s.Flush(); }), kStreamWriteError);
  }
  {
    TFileStream s("/dev/full", TFileStream::fmOpenWrite);
    s.WriteBuffer("abc", 3);
    EXPECT_EQ(MessageOf([&] { s.Close(); }), kStreamWriteError);
  }
  {
    TFileStream s("/dev/full", TFileStream::fmOpenWrite);
    const std::string big(200000, 'x');  // larger than the buffer: written at once
    EXPECT_EQ(MessageOf([&] { s.WriteBuffer(big.data(), big.size()); }), kStreamWriteError);
  }
  // A failing destructor must not throw out of the scope.
  EXPECT_NO_THROW({
    TFileStream s("/dev/full", TFileStream::fmOpenWrite);
    s.WriteBuffer("abc", 3);
  });
}

// Zero runs written to a new file become holes: the bytes read back are the
// same, the size counts the zeros at the end, and the disk holds less.
TEST(FileStream, ZerosWrittenAsHolesReadBackTheSame) {
  TempDir dir;
  const std::string path = dir / "sparse";
  const std::string zeros(1 << 20, '\0');
  std::string expected;
  {
    TFileStream s(path, TFileStream::fmCreate);
    s.WriteZerosAsHoles(true);
    const std::string parts[] = {"head",   zeros, std::string(100, '\0'),
                                 "middle", zeros, std::string(16384, '\0')};
    for (const std::string& part : parts) {
      s.WriteBuffer(part.data(), part.size());
      expected += part;
    }
    EXPECT_EQ(s.Position(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(s.Size(), static_cast<int64_t>(expected.size()));
    // Read back through the same stream, then write on after the hole.
    s.Seek(0, SeekOrigin::Begin);
    EXPECT_TRUE(ReadAll(s, 7000) == expected);
    s.WriteBuffer("end", 3);
    expected += "end";
    s.Close();
  }
  EXPECT_TRUE(ReadFile(path) == expected);
  EXPECT_EQ(std::filesystem::file_size(path), expected.size());
#ifndef _WIN32
  // NTFS makes holes only in files marked sparse first.
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the megabyte runs of zeros take no room";
#endif

  // Zeros that end the file and are never followed by data still count.
  {
    TFileStream s(path, TFileStream::fmCreate);
    s.WriteZerosAsHoles(true);
    s.WriteBuffer("x", 1);
    s.WriteBuffer(zeros.data(), zeros.size());
  }
  EXPECT_TRUE(ReadFile(path) == "x" + zeros);
}

TEST(HandleStream, PipeSkipsByReading) {
  test::TestPipe fds;
  const std::string data = test::RandomBytes(500000, 7);
  std::thread writer([&] {
    fds.Write(data);
    fds.CloseWriter();
  });
  THandleStream in(platform::File::Adopt(fds.Reader(), true));
  EXPECT_FALSE(in.CanSeek());
  EXPECT_EQ(in.Position(), 0);
  char c;
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[0]);
  in.Skip(300000);  // more than any read-ahead: must read and drop
  EXPECT_EQ(in.Position(), 300001);
  in.ReadBuffer(&c, 1);
  EXPECT_EQ(c, data[300001]);
  EXPECT_EQ(MessageOf([&] { in.Seek(0, SeekOrigin::Begin); }), kStreamReadError);
  std::string rest = ReadAll(in, 10000);
  EXPECT_EQ(rest, data.substr(300002));
  EXPECT_EQ(MessageOf([&] { in.Skip(1); }), kStreamReadError);  // past the end
  writer.join();
}

TEST(HandleStream, PositionStartsAtTheDescriptorOffset) {
  KELMORA_POSIX_ONLY("descriptors (PlatformFile tests adopted handles there)");
#ifndef _WIN32
  TempDir dir;
  WriteFile(dir / "f.bin", "0123456789");
  const int fd = ::open((dir / "f.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 4, SEEK_SET), 4);
  {
    THandleStream s(platform::File::Adopt(fd, false));
    EXPECT_TRUE(s.CanSeek());
    EXPECT_EQ(s.Position(), 4);
    char c;
    s.ReadBuffer(&c, 1);
    EXPECT_EQ(c, '4');
  }
  // The caller's descriptor outlives the stream.
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  ::close(fd);
#endif
}

TEST(HandleStream, OwnedHandleIsFlushedAndClosed) {
  test::TestPipe fds;
  {
    THandleStream s(platform::File::Adopt(fds.TakeWriter(), true));
    s.WriteBuffer("hi", 2);
  }
  // Flushed before the close, and closed: the reader meets the end.
  THandleStream in(platform::File::Adopt(fds.Reader(), true));
  EXPECT_EQ(ReadAll(in, 16), "hi");
}

TEST(HandleStream, ClosedStreamRefusesWork) {
  test::TestPipe fds;
  THandleStream s(platform::File::Adopt(fds.Reader(), true));
  s.Close();
  char c;
  EXPECT_EQ(MessageOf([&] { s.Read(&c, 1); }), kStreamReadError);
  EXPECT_EQ(MessageOf([&] { s.Write("x", 1); }), kStreamWriteError);
}

TEST(MemoryStream, RoundTripSeekAndGaps) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  EXPECT_EQ(m.Position(), 5);
  EXPECT_EQ(m.Seek(0, SeekOrigin::Begin), 0);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 5u);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(m.Read(buf, 1), 0u);
  m.Seek(2, SeekOrigin::End);  // past the end: the gap reads as zeros
  m.WriteBuffer("!", 1);
  EXPECT_EQ(m.Text(), std::string("hello\0\0!", 8));
  m.Seek(-3, SeekOrigin::Current);
  m.Skip(1);
  m.ReadBuffer(buf, 2);
  EXPECT_EQ(std::string(buf, 2), std::string("\0!", 2));
  EXPECT_EQ(MessageOf([&] { m.Seek(-1, SeekOrigin::Begin); }), kStreamReadError);
  m.Seek(0, SeekOrigin::Begin);
  EXPECT_EQ(MessageOf([&] { m.ReadBuffer(buf, 9); }), kStreamReadError);
  m.Clear();
  EXPECT_EQ(m.Position(), 0);
  EXPECT_TRUE(m.Data().empty());
}

}  // namespace
}  // namespace kelmora
