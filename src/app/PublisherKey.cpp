// The publisher keys compiled into this executable (MIREL_PUBLISHER_KEY: 64 hex digits, two such
// keys separated by a comma while the publisher moves to a new key, or empty). Compiled per
// executable, so a keyed and an unkeyed launcher share the rest of the code.
#include "download/ReleaseSignature.h"

#ifndef MIREL_PUBLISHER_KEY
#define MIREL_PUBLISHER_KEY ""
#endif
static_assert(sizeof(MIREL_PUBLISHER_KEY) == 1 || sizeof(MIREL_PUBLISHER_KEY) == 2 * kPublisherKeySize + 1 ||
                  sizeof(MIREL_PUBLISHER_KEY) == 4 * kPublisherKeySize + 2,
              "MIREL_PUBLISHER_KEY must be 64 hex digits, or two such keys separated by a comma");

const PublisherKeys* BuiltInPublisherKeys() {
    static PublisherKeys keys;
    static const bool present = ParsePublisherKeys(MIREL_PUBLISHER_KEY, keys);
    return present ? &keys : nullptr;
}
