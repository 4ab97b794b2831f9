// SPDX-License-Identifier: GPL-3.0-or-later

#include "help_format.h"

#include <cstdlib>
#include <utility>

#include "kelmora/console.h"

namespace kelmora::cli {

namespace {

// Below this the first column would leave descriptions a word or two a
// line; they go under the name instead.
constexpr size_t kNarrowest = 72;
constexpr size_t kNameColumn = 30;
constexpr size_t kUnderNameIndent = 8;

}  // namespace

std::string WrapText(const std::string& Text, size_t Width, size_t Indent) {
  std::string out;
  size_t column = Indent;  // the caller has filled the first line's indent
  bool lineHasWord = false;
  size_t at = 0;
  while (at <= Text.size()) {
    const size_t end = Text.find_first_of(" \n", at);
    const std::string word = Text.substr(at, end == std::string::npos ? end : end - at);
    if (!word.empty()) {
      if (lineHasWord && column + 1 + word.size() > Width) {
        out += '\n' + std::string(Indent, ' ');
        column = Indent;
        lineHasWord = false;
      }
      if (lineHasWord) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      lineHasWord = true;
    }
    if (end == std::string::npos) break;
    if (Text[end] == '\n') {
      out += '\n' + std::string(Indent, ' ');
      column = Indent;
      lineHasWord = false;
    }
    at = end + 1;
  }
  return out;
}

size_t HelpWidth() {
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value >= 20 && value <= 1000)
      return static_cast<size_t>(value);
  }
  return static_cast<size_t>(platform::TerminalWidth());
}

WrappingFormatter::WrappingFormatter(size_t Width) : width_(Width) {
  column_width(Width >= kNarrowest ? kNameColumn : kUnderNameIndent);
}

std::string WrappingFormatter::Columns(const std::string& Name,
                                       const std::string& Description) const {
  const size_t column = get_column_width();
  std::string out = Name;
  if (!Description.empty()) {
    // The name fills the column, or the description starts on the next line.
    if (Name.size() + 1 > column || width_ < kNarrowest)
      out += '\n' + std::string(column, ' ');
    else
      out += std::string(column - Name.size(), ' ');
    out += WrapText(Description, width_ - 1, column);
  }
  return out + '\n';
}

std::string WrappingFormatter::make_option(const CLI::Option* Opt, bool Positional) const {
  std::string name = make_option_name(Opt, Positional) + make_option_opts(Opt);
  if (Positional && Opt->get_expected_max() > 1) name += " ...";
  return Columns("  " + name, make_option_desc(Opt));
}

std::string WrappingFormatter::make_option_opts(const CLI::Option* Opt) const {
  if (!Opt->get_option_text().empty()) return " " + Opt->get_option_text();
  if (Opt->get_type_size() == 0 || Opt->get_positional()) return {};
  std::string type = Opt->get_type_name();
  type = type.substr(0, type.find(':'));  // without the checks' own wording
  std::string out = type.empty() ? std::string() : " " + type;
  if (!Opt->get_default_str().empty()) out += "=" + Opt->get_default_str();
  return out;
}

std::string WrappingFormatter::make_subcommand(const CLI::App* Sub) const {
  return Columns("  " + Sub->get_display_name(true), Sub->get_description());
}

std::string WrappingFormatter::make_description(const CLI::App* App) const {
  const std::string text = App->get_description();
  return text.empty() ? std::string() : WrapText(text, width_ - 1, 0) + '\n';
}

std::string WrappingFormatter::make_usage(const CLI::App* App, std::string Name) const {
  std::string usage = CLI::Formatter::make_usage(App, std::move(Name));
  while (!usage.empty() && usage.back() == '\n') usage.pop_back();
  return WrapText(usage, width_ - 1, 2) + '\n';
}

std::string WrappingFormatter::make_footer(const CLI::App* App) const {
  const std::string text = App->get_footer();
  return text.empty() ? std::string() : WrapText(text, width_ - 1, 0) + '\n';
}

}  // namespace kelmora::cli
