// SPDX-License-Identifier: GPL-3.0-or-later
//
// The fields of a packed time stamp (the FAT date and time), read and
// checked the same way on every system.
#pragma once

#include <cstdint>

namespace kelmora::platform {

struct StampFields {
  int Year, Month, Day;      // 1980..2107, 1..12, 1..31
  int Hour, Minute, Second;  // 0..23, 0..59, 0..58 in steps of two
};

// False when Stamp holds no real date and time (month 13, April 31,
// February 29 of a common year, hour 24...).
inline bool SplitStamp(int32_t Stamp, StampFields& Fields) {
  const uint32_t v = static_cast<uint32_t>(Stamp);
  Fields.Year = static_cast<int>(v >> 25) + 1980;
  Fields.Month = static_cast<int>((v >> 21) & 0x0F);
  Fields.Day = static_cast<int>((v >> 16) & 0x1F);
  Fields.Hour = static_cast<int>((v >> 11) & 0x1F);
  Fields.Minute = static_cast<int>((v >> 5) & 0x3F);
  Fields.Second = static_cast<int>(v & 0x1F) * 2;
  if (Fields.Month < 1 || Fields.Month > 12 || Fields.Day < 1 || Fields.Hour > 23 ||
      Fields.Minute > 59 || Fields.Second > 59)
    return false;
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (Fields.Year % 4 == 0 && Fields.Year % 100 != 0) || Fields.Year % 400 == 0;
  return Fields.Day <= kDays[Fields.Month - 1] && (Fields.Month != 2 || Fields.Day < 29 || leap);
}

}  // namespace kelmora::platform
