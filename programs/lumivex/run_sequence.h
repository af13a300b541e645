#pragma once

namespace lumivex {

// The whole run: command line, load, sample the first group, write. Returns
// the exit code (0, 101, 102 or 103).
int runLumivex(int argumentCount, const char* const* arguments);

}  // namespace lumivex
