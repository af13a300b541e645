#include <lumivex/lumivex.h>

namespace lumivex {

const char* version() noexcept { return LUMIVEX_VERSION_STRING; }

}  // namespace lumivex
