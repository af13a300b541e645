#pragma once
// Writing a file so that it is either complete or not there at all.

#include <cstdio>
#include <functional>
#include <string>

namespace lumivex {

// Writes through `writeContents` into a temporary file beside `fileName` (a
// short name of its own, so names near the file system's limit still work),
// then renames it over `fileName` once written, flushed and closed. On any
// failure the temporary file is removed and an existing `fileName` is left as
// it was. `writeContents` returns false when a write fails.
bool writeFileAtomically(const std::string& fileName, const std::function<bool(std::FILE*)>& writeContents);

}  // namespace lumivex
