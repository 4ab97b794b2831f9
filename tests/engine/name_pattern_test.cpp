// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one rule of which stored names a restore include pattern takes, as
// the command line's -i and the contents window's filter both use it.
#include "kelmora/name_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmora {
namespace {

TEST(NamePattern, RootsTailsFoldersAndWildcards) {
  struct Case {
    const char* pattern;
    const char* stored;
    bool takes;
  };
  for (const Case& c : {
           Case{"/", "/home/ann/a.txt", true},
           Case{"", "/home/ann/a.txt", false},
           // Without a root: the tail from any folder on, never inside a name.
           Case{"sub/*.txt", "/home/ann/docs/sub/a.txt", true},
           Case{"ann/a.txt", "/home/joann/a.txt", false},
           // With one: from the root only.
           Case{"/docs/a.txt", "/home/docs/a.txt", false},
           Case{"/home/docs", "/home/docs/deep/a.txt", true},
           Case{"/home/docs/", "/home/docs/a.txt", true},
           Case{"/home/doc", "/home/docs/a.txt", false},
           // "*" crosses "/".
           Case{"/home/*.txt", "/home/ann/deep/a.txt", true},
           Case{"a?.txt", "/x/ab.txt", true},
           // A drive's pattern: its root gone, "\" a separator, on every system.
           Case{"c:\\Users\\Ann", "c:\\Users\\Ann\\a.txt", true},
           Case{"c:/Users/Ann/*.doc", "c:\\Users\\Ann\\b.doc", true},
           Case{"c:\\Users\\Ann", "c:\\Users\\Bob\\a.txt", false},
       }) {
    EXPECT_EQ(PatternMatches(c.pattern, c.stored), c.takes) << c.pattern << " / " << c.stored;
    EXPECT_EQ(TNamePattern(c.pattern).Matches(c.stored), c.takes) << c.pattern;
  }
}

}  // namespace
}  // namespace kelmora
