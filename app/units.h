// SPDX-License-Identifier: GPL-3.0-or-later
//
// Numbers as people read them, in the interface language: sizes with
// units, speeds, durations and counts with the locale's digit groups.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace kelmora::app {

// Texts by language key ("Unit->MB" gives "%1 MB").
using TTextSource = std::function<QString(const QString& Key)>;

// 512 B, 4.1 KB, 37 MB, 1.5 GB: powers of 1024, one decimal below 100.
QString FormatSize(int64_t Bytes, const TTextSource& Text);
// A size per second.
QString FormatSpeed(double BytesPerSecond, const TTextSource& Text);
// 0.4 s, 12 s, 3 min 05 s, 2 h 07 min.
QString FormatDuration(double Seconds, const TTextSource& Text);
// 1,234,567 with the locale's group separator.
QString FormatCount(int64_t Count);
// A whole percentage: "37 %" or "37%" as the locale writes it.
QString FormatPercent(int Percent, const TTextSource& Text);

}  // namespace kelmora::app
