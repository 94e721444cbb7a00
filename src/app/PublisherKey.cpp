// The publisher key compiled into this executable (MIREL_PUBLISHER_KEY: 64 hex digits, or empty).
// Compiled per executable, so a keyed and an unkeyed launcher share the rest of the code.
#include "download/PackedFile.h"

#ifndef MIREL_PUBLISHER_KEY
#define MIREL_PUBLISHER_KEY ""
#endif
static_assert(sizeof(MIREL_PUBLISHER_KEY) == 1 || sizeof(MIREL_PUBLISHER_KEY) == 2 * kPublisherKeySize + 1,
              "MIREL_PUBLISHER_KEY must be 64 hex digits");

const PublisherKey* BuiltInPublisherKey() {
    static PublisherKey key;
    static const bool present = ParsePublisherKey(MIREL_PUBLISHER_KEY, key);
    return present ? &key : nullptr;
}
