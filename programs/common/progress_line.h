#pragma once
// The running share of a stage on standard output, only where someone
// watches it: a log gets no '\r' lines.

#include <unistd.h>

#include <cstdio>
#include <functional>

namespace lumivex {

class ProgressLine {
 public:
  ProgressLine() : shown_(isatty(STDOUT_FILENO) != 0) {}
  std::function<void(double)> of(const char* what) {
    if (!shown_) return {};
    return [this, what](double share) {
      std::printf("\r%s : %3d %%", what, static_cast<int>(share * 100));
      std::fflush(stdout);
      open_ = true;
    };
  }
  void end() {
    if (open_) std::printf("\n");
    open_ = false;
  }

 private:
  bool shown_;
  bool open_ = false;
};

}  // namespace lumivex
