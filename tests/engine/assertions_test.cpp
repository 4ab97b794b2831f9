// SPDX-License-Identifier: GPL-3.0-or-later
//
// The code's own checks are live in Debug and sanitizer builds: a broken
// precondition stops the program at the call that broke it instead of
// passing on as a wrong result.
#include "platform/assertions.h"

#include <gtest/gtest.h>

#include "engine/restore_target.h"
#include "kelmora/streams.h"
#include "platform/file.h"

namespace kelmora {
namespace {

TEST(Assertions, ABrokenPreconditionStopsTheProgram) {
#if KELMORA_ASSERTIONS_ACTIVE
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A restore folder is normalised before any target is named in it.
  EXPECT_DEATH(restore::TargetName("/a/b.txt", "/restore", true),
               "IsPathSeparator\\(Folder.back\\(\\)\\)");
  EXPECT_EQ(restore::TargetName("/a/b.txt", "/restore/", true), "/restore/a/b.txt");
  // A stream is never made over a file that did not open.
  EXPECT_DEATH(THandleStream{platform::File()}, "File.Valid\\(\\)");
#else
  GTEST_SKIP() << "assertions are compiled out of this build";
#endif
}

}  // namespace
}  // namespace kelmora
