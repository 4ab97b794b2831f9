// SPDX-License-Identifier: GPL-3.0-or-later
//
// The selection of a backup alone, as a backup with a companion makes it:
// the files a source selects, their measures, and the folders and links
// recorded beside them. Prints how many files were selected; timed as a
// whole process against `find TREE -type f` by many_files_bench.sh.
//
//   bench_select_files 'TREE/*.* /s'
#include <cstdio>

#include "engine/selection.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SOURCE\n", argv[0]);
    return 2;
  }
  kelmora::SelectedFiles selected;
  std::vector<kelmora::SelectedMeasure> measures;
  kelmora::SelectionCapture capture(true);
  kelmora::SelectionOptions options;
  options.Capture = &capture;
  kelmora::SelectionReport report;
  kelmora::SelectSourceFiles({argv[1]}, kelmora::TStringList{}, kelmora::bmAll, selected,
                             &measures, options, report);
  std::printf("%zu files, %zu folders and links, %zu unreadable\n", selected.size(),
              capture.Records().size(), report.Unreadable.size());
  return report.Unreadable.empty() && report.Unselected.empty() ? 0 : 1;
}
