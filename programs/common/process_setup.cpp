#include "common/process_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace lumivex {

void prepareProcess() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() takes the lowest free descriptor: this one.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != descriptor) close(opened);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace lumivex
