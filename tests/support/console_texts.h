#pragma once
// The tool's fixed console texts, as the end-to-end tests expect them.

#include <string>

namespace lumivex::testing {

inline const std::string kBanner = "Lumivex 1.0 : lightmap sample point generator\r\n";
inline const std::string kUsage =
    "Usage : lumivex size inputname [outputname]\r\n"
    "size       : lightmap resolution : small (128), medium (256) or large (512)\r\n"
    "inputname  : input file WITHOUT extension\r\n"
    "outputname : output file WITHOUT extension (optional)\r\n";

// The banner and the Input and Output lines of a run with valid arguments.
inline std::string namesLines(const std::string& input, const std::string& output) {
  return kBanner + "Input  : " + input + "\r\n" + "Output : " + output + "\r\n";
}

}  // namespace lumivex::testing
