// Which stored names a list of include patterns takes: the rules of
// kelmora-cli restore -i, so that what the contents window shows for a
// pattern is what the command line would restore for it.
#pragma once

#include <QString>
#include <string>
#include <vector>

namespace kelmora::app {

// One -i pattern against a stored name. A pattern with a root ("/", or a
// drive's "c:\") is anchored there; one without may match the name's tail
// from any folder on ("sub/*.txt" takes /home/ann/docs/sub/a.txt). "*"
// also crosses "/", and a pattern that names a folder takes all under it.
bool PatternMatches(const std::string& Pattern, const std::string& Stored);

class TNameFilter {
 public:
  TNameFilter() = default;
  // Patterns separated by ";" (a name may hold blanks); blank text takes
  // every name.
  explicit TNameFilter(const QString& Text);

  bool Empty() const { return patterns_.empty(); }
  bool Accepts(const std::string& Stored) const;

  // A pattern read once: what is matched against each name's tails.
  struct TPattern {
    std::string Trimmed;      // without its root and trailing "/"
    std::string UnderFolder;  // Trimmed + "/*": all under a folder it names
    bool Anchored = false;    // matched from the name's root only
  };
  static TPattern Prepare(const std::string& Pattern);
  static bool Matches(const TPattern& Pattern, const std::string& Path);

 private:
  std::vector<TPattern> patterns_;
};

}  // namespace kelmora::app
