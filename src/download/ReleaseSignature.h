// The publisher's signature of a description: its keys, and the trailer that follows the packed
// file's zlib stream (outside what the header's sizes cover, so readers of the plain format never
// see it). Two forms of trailer, all integers little-endian:
//
//   "MirelRel" (8 bytes), the release's version (unsigned 64-bit), its expiry (unsigned 32-bit:
//   the day number, days since 1970-01-01, of the last UTC day it is taken; 0: none), then the
//   Ed25519 signature (64 bytes) of those first 20 bytes followed by the unpacked description.
//
//   "MirelSig" (8 bytes), then the Ed25519 signature of the unpacked description alone: the first
//   form, before releases had versions; it counts as version 0 without expiry.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kTrailerMarkSize = 8;
constexpr char kSignatureMagic[kTrailerMarkSize + 1] = "MirelSig";
constexpr char kReleaseMagic[kTrailerMarkSize + 1] = "MirelRel";
constexpr size_t kSignatureSize = 64;
constexpr size_t kSignatureTrailerSize = kTrailerMarkSize + kSignatureSize;  // the first form
constexpr size_t kReleaseFieldsSize = kTrailerMarkSize + 8 + 4;               // mark, version, expiry
constexpr size_t kReleaseTrailerSize = kReleaseFieldsSize + kSignatureSize;
constexpr size_t kPublisherKeySize = 32;
constexpr size_t kPublisherSeedSize = 32;
// A launcher trusts one key, or two while the publisher moves from one to the next.
constexpr size_t kMaxPublisherKeys = 2;

struct PublisherKey {
    unsigned char bytes[kPublisherKeySize] = {};
};

struct PublisherKeys {
    PublisherKey keys[kMaxPublisherKeys];
    size_t count = 0;
};

// 64 hex digits, nothing else. False (and out untouched) for any other text.
bool ParsePublisherKey(const char* hex, PublisherKey& out);
// One key, or two separated by a comma (the current and the next). False (out untouched) for
// anything else.
bool ParsePublisherKeys(const char* text, PublisherKeys& out);
std::string ToHex(const unsigned char* bytes, size_t size);

// The publisher keys compiled into this program (MIREL_PUBLISHER_KEY), or null for an unkeyed build.
const PublisherKeys* BuiltInPublisherKeys();

// What a signature vouches for besides the description.
struct Release {
    uint64_t version = 0;
    uint32_t expiryDay = 0;  // the last UTC day it is taken (UtcDate.h); 0: no expiry
};

enum class SignatureCheck {
    Signed,        // one of the keys signed the description with these release fields
    NotSigned,     // the bytes after the stream are not exactly one trailer of either form
    BadSignature,  // a trailer, but no key's signature of what it covers
};

// Checks the bytes after the stream (`trailer`, `size` of them) as the signature of `plain`.
// On Signed, `release` holds its fields and `keyIndex` the key that signed.
SignatureCheck CheckTrailer(const unsigned char* trailer, size_t size, const std::string& plain,
                            const PublisherKeys& keys, Release* release = nullptr, size_t* keyIndex = nullptr);

// The trailer for a release of plain content, signed with the key pair made from the seed.
std::string ReleaseTrailer(const std::string& plain, const Release& release,
                           const unsigned char (&seed)[kPublisherSeedSize]);
// The first form's trailer (version 0, no expiry), as earlier packers wrote it.
std::string SignatureTrailer(const std::string& plain, const unsigned char (&seed)[kPublisherSeedSize]);
// The 20 bytes of release fields that lead the trailer and its signed bytes.
std::string ReleaseFields(const Release& release);
// The Ed25519 signature (64 bytes) of any bytes.
std::string SignBytes(const std::string& message, const unsigned char (&seed)[kPublisherSeedSize]);
// The public key of the key pair made from the seed.
PublisherKey PublicKeyOfSeed(const unsigned char (&seed)[kPublisherSeedSize]);
