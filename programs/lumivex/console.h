#pragma once
// Console output: every text goes to standard output and is flushed at once,
// so the one-line progress report shows while the work proceeds.

#include <string_view>

namespace lumivex {

void printText(std::string_view text);

// Ends the progress line with "\r\n" if the last text left it open.
void endOpenLine();

// The four-line usage text; printed after every error text and nowhere else.
void printUsage();

}  // namespace lumivex
