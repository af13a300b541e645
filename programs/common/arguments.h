#pragma once
// Reading a companion tool's arguments the way well-liked tools take them:
// options as "--name value" or "--name=value", in any order among the names.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumivex {

class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv);

  bool done() const { return next_ >= arguments_.size(); }
  // The next argument; for "--name=value" the "--name" part.
  std::string next();
  // True when the argument just read is an option ("-x", "--name"), not a name or "-".
  bool isOption() const;
  // The option's value: after "=", or the argument that follows. Empty when there is none.
  std::optional<std::string> value();
  // True when a flag was given "=value", which it does not take.
  bool hasInlineValue() const { return inlineValue_.has_value(); }

 private:
  std::vector<std::string> arguments_;
  std::size_t next_ = 0;
  std::string current_;
  std::optional<std::string> inlineValue_;
};

// Says on standard error what was wrong with the command line, with the usage
// line ("TOOL MODEL OUTPUTNAME [options]") and where the options are explained.
void printArgumentRefusal(const std::string& what, const char* tool, const char* usageLine);

// A whole number from `lowest` to `highest`, written in decimal digits only.
std::optional<std::uint64_t> parseWholeNumber(const std::string& text, std::uint64_t lowest, std::uint64_t highest);

// A memory size: a number of bytes with an optional K, M, G or T (powers of
// 1024, "B" or "iB" may follow: "512M", "2GiB"). Up to 2^50 bytes.
std::optional<std::uint64_t> parseMemorySize(const std::string& text);

}  // namespace lumivex
