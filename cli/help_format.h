// SPDX-License-Identifier: GPL-3.0-or-later
//
// The help as a terminal shows it: every description and footer wrapped at
// the terminal's width, continuation lines under the description's column.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>

namespace kelmora::cli {

// Text broken into lines of at most Width columns at spaces, for a first
// line that starts at column Indent (already filled by the caller); every
// further line is indented by Indent. A "\n" in Text starts a new line; a
// word longer than a line stands on a line of its own.
std::string WrapText(const std::string& Text, size_t Width, size_t Indent);

// The width help is wrapped at: $COLUMNS when set, else the terminal's,
// else 80.
size_t HelpWidth();

class WrappingFormatter : public CLI::Formatter {
 public:
  explicit WrappingFormatter(size_t Width);

  std::string make_option(const CLI::Option* Opt, bool Positional) const override;
  // The value's name alone ("SIZE", "LEVEL=default"): ranges, exclusions
  // and REQUIRED are for the description to say.
  std::string make_option_opts(const CLI::Option* Opt) const override;
  std::string make_subcommand(const CLI::App* Sub) const override;
  std::string make_description(const CLI::App* App) const override;
  std::string make_footer(const CLI::App* App) const override;
  std::string make_usage(const CLI::App* App, std::string Name) const override;

 private:
  // "  NAME" in the first column, Description wrapped beside it.
  std::string Columns(const std::string& Name, const std::string& Description) const;

  size_t width_;
};

}  // namespace kelmora::cli
