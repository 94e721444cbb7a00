// The packed download file: two little-endian 32-bit sizes, then one zlib stream. A publisher
// signs it with a trailer after the stream (ReleaseSignature.h), outside what the header's packed
// size covers, so readers of the plain format never see it.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "download/ReleaseSignature.h"
#include "download/ReleaseStore.h"
#include "framework/afxstr.h"

enum class UnpackStatus {
    Ok,
    Unopenable,    // missing, or held by another handle
    BadStream,     // sizes, stream or content size wrong: the stream does not unpack as stated
    NotSigned,     // keyed: no signature trailer where the stream ends
    BadSignature,  // keyed: the trailer's signature is no key's signature of what it covers
};

// The unpacking itself, on the bytes of a packed file. Without keys, bytes after the stream are
// ignored; with them, exactly one trailer must follow the stream and be a key's signature of
// `plain` (and of its release fields, given back in `release`, with the index of the key that
// signed in `keyIndex`).
UnpackStatus UnpackBytes(const unsigned char* data, size_t size, const PublisherKeys* keys, std::string& plain,
                         int* zlibCode = nullptr, Release* release = nullptr, size_t* keyIndex = nullptr);

// Reads and unpacks the file, leaving it as it is.
UnpackStatus ReadPackedFile(const char* path, const PublisherKeys* keys, std::string& plain, int* zlibCode = nullptr,
                            Release* release = nullptr, size_t* keyIndex = nullptr);
// Unpacks the file in place. Only on Ok is the file replaced by its content.
UnpackStatus UnpackPackedFile(const char* path, const PublisherKeys* keys, int* zlibCode = nullptr);
// The same without keys: TRUE when the content was unpacked and written back.
BOOL UnpackDownloadedFile(const char* path);

// The launch sequence's unpacking of the fetched description (the file `fetched`, under a name
// of its own), with the executable's keys (BuiltInPublisherKeys). Only a description that
// unpacks, and with keys is signed by one of them, is no older than the highest release this
// user took (`store`) and has not expired, replaces `description` (Mirel.ndn); its version is
// then recorded. The fetched file is gone either way, and an earlier description stays when the
// new one fails. Every failure is a numbered message: without keys a description that does not
// unpack ("Download Failed No:13"), with them also one not signed, not current or expired.
// `verified` tells whether a signature was checked and held. `content` receives the description
// taken (the unpacked bytes that were checked, and written as Mirel.ndn): what is added is these
// bytes, never the file read again. Empty when none was taken.
CString UnpackFetchedDescription(const char* fetched, const char* description, const PublisherKeys* keys,
                                 bool* verified = nullptr, const ReleaseStore& store = ReleaseStore(),
                                 std::string* content = nullptr);

// Packs plain content into the packed form (used by the publisher's packer and by tests).
std::string PackContent(const std::string& plain, int level = 9);
