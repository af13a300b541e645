#pragma once
// What every program does first, before it opens any file.

namespace lumivex {

// Makes sure descriptors 0, 1 and 2 are open (onto /dev/null where they were
// closed), so that no file the program opens becomes its standard output, and
// ignores SIGXFSZ, so that a write past the file-size limit fails with EFBIG
// and is reported like any failed write instead of killing the process.
void prepareProcess();

}  // namespace lumivex
