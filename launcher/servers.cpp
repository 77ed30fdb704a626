// The update servers of this copy of the program. Each copy is built with
// its own pair (the build settings KESTREL_PRIMARY_URL and
// KESTREL_SECONDARY_URL), so this file is compiled into every program
// rather than into the launcher's library.
#include "launcher/settings.h"

#ifndef KESTREL_PRIMARY_URL
#error "KESTREL_PRIMARY_URL must be defined by the build"
#endif
#ifndef KESTREL_SECONDARY_URL
#error "KESTREL_SECONDARY_URL must be defined by the build"
#endif

namespace launcher {

const char* PrimaryServerURL() {
  return KESTREL_PRIMARY_URL;
}

const char* SecondaryServerURL() {
  return KESTREL_SECONDARY_URL;
}

}  // namespace launcher
