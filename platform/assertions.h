// SPDX-License-Identifier: GPL-3.0-or-later
//
// KELMORA_ASSERT: what a comment would otherwise say must hold, checked in
// Debug builds and in sanitizer builds (KELMORA_ASSERTIONS), and compiled
// away elsewhere. A failed check is a fault of the code, never of input:
// input is checked and reported as it always is.
#pragma once

#if !defined(NDEBUG) || defined(KELMORA_ASSERTIONS)
#include <cstdio>
#include <cstdlib>

namespace kelmora::detail {
[[noreturn]] inline void AssertionFailed(const char* Condition, const char* File, int Line) {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", File, Line, Condition);
  std::abort();
}
}  // namespace kelmora::detail

#define KELMORA_ASSERT(Condition) \
  ((Condition) ? void(0) : ::kelmora::detail::AssertionFailed(#Condition, __FILE__, __LINE__))
#define KELMORA_ASSERTIONS_ACTIVE 1
#else
#define KELMORA_ASSERT(Condition) void(0)
#define KELMORA_ASSERTIONS_ACTIVE 0
#endif
