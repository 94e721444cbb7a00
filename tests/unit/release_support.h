// Signed descriptions for the tests: key pairs from fixed seeds, both forms of trailer as the
// program makes them, and a release trailer built by hand from its documented layout.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

#include "download/PackedFile.h"
#include "le32.h"

struct Seed {
    unsigned char bytes[kPublisherSeedSize];
};

inline Seed TestSeed(unsigned char fill) {
    Seed s;
    for (size_t i = 0; i < kPublisherSeedSize; ++i) s.bytes[i] = static_cast<unsigned char>(fill + 7 * i);
    return s;
}

inline PublisherKeys KeysOf(std::initializer_list<const Seed*> seeds) {
    PublisherKeys keys;
    for (const Seed* seed : seeds) keys.keys[keys.count++] = PublicKeyOfSeed(seed->bytes);
    return keys;
}

// The first form of trailer (no version: version 0), as earlier packers wrote it.
inline std::string Signed(const std::string& plain, const Seed& seed) {
    return PackContent(plain) + SignatureTrailer(plain, seed.bytes);
}

// A versioned release as the packer signs it.
inline std::string Released(const std::string& plain, const Seed& seed, uint64_t version, uint32_t expiryDay = 0) {
    Release release;
    release.version = version;
    release.expiryDay = expiryDay;
    return PackContent(plain) + ReleaseTrailer(plain, release, seed.bytes);
}

inline std::string Le64(uint64_t v) { return Le32(static_cast<uint32_t>(v)) + Le32(static_cast<uint32_t>(v >> 32)); }

// A release trailer from the layout: the mark, the version (64-bit), the expiry day (32-bit),
// then the signature of `signedFields` followed by the content.
inline std::string ByHand(const std::string& plain, const Seed& seed, uint64_t version, uint32_t expiryDay,
                          const std::string& signedFields) {
    return PackContent(plain) + "MirelRel" + Le64(version) + Le32(expiryDay) + SignBytes(signedFields + plain, seed.bytes);
}

// Something shaped like a torrent description: a bencoded dictionary with binary piece hashes.
inline std::string TorrentLike(size_t pieces) {
    std::string hashes;
    uint32_t x = 2166136261u;
    for (size_t i = 0; i < pieces * 20; ++i) {
        x = (x ^ static_cast<uint32_t>(i)) * 16777619u;
        hashes.push_back(static_cast<char>(x >> 24));
    }
    return "d8:announce30:http://127.0.0.1:6969/announce4:infod6:lengthi" + std::to_string(pieces * 262144) +
           "e4:name15:MirelSetup.exe12:piece lengthi262144e6:pieces" + std::to_string(hashes.size()) + ":" + hashes +
           "ee";
}
