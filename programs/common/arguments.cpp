#include "arguments.h"

#include <cctype>
#include <cstdio>

namespace lumivex {

void printArgumentRefusal(const std::string& what, const char* tool, const char* usageLine) {
  std::fprintf(stderr, "Error : %s\nUsage : %s\nTry %s --help for the options.\n", what.c_str(), usageLine, tool);
}

ArgumentReader::ArgumentReader(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) arguments_.emplace_back(argv[i]);
}

std::string ArgumentReader::next() {
  current_ = arguments_[next_++];
  inlineValue_.reset();
  if (current_.rfind("--", 0) == 0) {
    if (const std::size_t equals = current_.find('='); equals != std::string::npos) {
      inlineValue_ = current_.substr(equals + 1);
      current_.resize(equals);
    }
  }
  return current_;
}

bool ArgumentReader::isOption() const { return current_.size() > 1 && current_[0] == '-'; }

std::optional<std::string> ArgumentReader::value() {
  if (inlineValue_) {
    std::optional<std::string> given = std::move(inlineValue_);
    inlineValue_.reset();
    return given;
  }
  if (done()) return std::nullopt;
  return arguments_[next_++];
}

std::optional<std::uint64_t> parseWholeNumber(const std::string& text, std::uint64_t lowest, std::uint64_t highest) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (number < lowest || number > highest) return std::nullopt;
  return number;
}

std::optional<std::uint64_t> parseMemorySize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) != 0) ++digits;
  const std::optional<std::uint64_t> number = parseWholeNumber(text.substr(0, digits), 0, std::uint64_t{1} << 50);
  if (!number) return std::nullopt;
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() == 3 && unit.substr(1) == "IB") unit.resize(1);
  if (unit.size() == 2 && unit[1] == 'B') unit.resize(1);
  int shift = 0;
  if (unit == "K") {
    shift = 10;
  } else if (unit == "M") {
    shift = 20;
  } else if (unit == "G") {
    shift = 30;
  } else if (unit == "T") {
    shift = 40;
  } else if (!unit.empty() && unit != "B") {
    return std::nullopt;
  }
  if (*number > (std::uint64_t{1} << 50) >> shift) return std::nullopt;
  return *number << shift;
}

}  // namespace lumivex
