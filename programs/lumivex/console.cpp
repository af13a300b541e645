#include "console.h"

#include <cstdio>

namespace lumivex {

namespace {
bool lineOpen = false;
}  // namespace

void printText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (!text.empty()) lineOpen = text.back() != '\n';
}

void endOpenLine() {
  if (lineOpen) printText("\r\n");
}

void printUsage() {
  printText(
      "Usage : lumivex size inputname [outputname]\r\n"
      "size       : lightmap resolution : small (128), medium (256) or large (512)\r\n"
      "inputname  : input file WITHOUT extension\r\n"
      "outputname : output file WITHOUT extension (optional)\r\n");
}

}  // namespace lumivex
