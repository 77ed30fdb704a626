// The update servers of this copy of the program, and the key its control
// files are signed with. Each copy is built with its own (the build
// settings KESTREL_PRIMARY_URL, KESTREL_SECONDARY_URL and
// KESTREL_UPDATE_KEY), so this file is compiled into every program rather
// than into the launcher's library.
#include "launcher/settings.h"

#ifndef KESTREL_PRIMARY_URL
#error "KESTREL_PRIMARY_URL must be defined by the build"
#endif
#ifndef KESTREL_SECONDARY_URL
#error "KESTREL_SECONDARY_URL must be defined by the build"
#endif
#ifndef KESTREL_UPDATE_KEY
#define KESTREL_UPDATE_KEY ""
#endif

namespace launcher {

const char* PrimaryServerURL() {
  return KESTREL_PRIMARY_URL;
}

const char* SecondaryServerURL() {
  return KESTREL_SECONDARY_URL;
}

const char* UpdatePublicKey() {
  return KESTREL_UPDATE_KEY;
}

}  // namespace launcher
