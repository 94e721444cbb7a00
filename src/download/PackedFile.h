// The packed download file: two little-endian 32-bit sizes, then one zlib stream. A publisher
// may sign it: a trailer after the stream (outside what the header's packed size covers, so
// readers of the plain format never see it) holds an Ed25519 signature of the unpacked content.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/afxstr.h"

constexpr size_t kSignatureMagicSize = 8;
constexpr char kSignatureMagic[kSignatureMagicSize + 1] = "MirelSig";
constexpr size_t kSignatureSize = 64;
constexpr size_t kSignatureTrailerSize = kSignatureMagicSize + kSignatureSize;
constexpr size_t kPublisherKeySize = 32;
constexpr size_t kPublisherSeedSize = 32;

struct PublisherKey {
    unsigned char bytes[kPublisherKeySize] = {};
};

// 64 hex digits, nothing else. False (and out untouched) for any other text.
bool ParsePublisherKey(const char* hex, PublisherKey& out);
std::string ToHex(const unsigned char* bytes, size_t size);

// The publisher key compiled into this program (MIREL_PUBLISHER_KEY), or null for an unkeyed build.
const PublisherKey* BuiltInPublisherKey();

enum class UnpackStatus {
    Ok,
    Unopenable,    // missing, or held by another handle
    BadStream,     // sizes, stream or content size wrong: the stream does not unpack as stated
    NotSigned,     // keyed: no signature trailer where the stream ends
    BadSignature,  // keyed: the trailer's signature is not the key's signature of the content
};

// The unpacking itself, on the bytes of a packed file. Without a key, bytes after the stream are
// ignored; with one, exactly one signature trailer must follow the stream and sign `plain`.
UnpackStatus UnpackBytes(const unsigned char* data, size_t size, const PublisherKey* key, std::string& plain,
                         int* zlibCode = nullptr);

// Unpacks the file in place. Only on Ok is the file replaced by its content.
UnpackStatus UnpackPackedFile(const char* path, const PublisherKey* key, int* zlibCode = nullptr);
// The same without a key: TRUE when the content was unpacked and written back.
BOOL UnpackDownloadedFile(const char* path);

// The launch sequence's unpacking of the fetched description (the file `fetched`, under a name
// of its own), with the executable's key (BuiltInPublisherKey). Only a description that unpacks,
// and with a key is signed by it, replaces `description` (Mirel.ndn); the fetched file is gone
// either way, and an earlier description stays when the new one fails. Without a key a failure
// is silent, as the plain format has it; with one every failure is a numbered message.
// `verified` tells whether a signature was checked and held.
CString UnpackFetchedDescription(const char* fetched, const char* description, const PublisherKey* key,
                                 bool* verified = nullptr);

// Packs plain content into the packed form (used by the publisher's packer and by tests).
std::string PackContent(const std::string& plain, int level = 9);

// The signature trailer for plain content, signed with the key pair made from the seed.
std::string SignatureTrailer(const std::string& plain, const unsigned char (&seed)[kPublisherSeedSize]);
// The public key of the key pair made from the seed.
PublisherKey PublicKeyOfSeed(const unsigned char (&seed)[kPublisherSeedSize]);
