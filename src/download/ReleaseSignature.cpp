#include "download/ReleaseSignature.h"

#include <libtorrent/kademlia/ed25519.hpp>

#include <array>
#include <cstring>
#include <tuple>

namespace {

namespace ed = lt::dht;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint64_t ReadLe(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void PutLe(std::string& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::tuple<ed::public_key, ed::secret_key> KeyPair(const unsigned char (&seed)[kPublisherSeedSize]) {
    std::array<char, 32> s;
    std::memcpy(s.data(), seed, s.size());
    return ed::ed25519_create_keypair(s);
}

// The index of the first key whose signature `sig` is of `message`, or -1.
int SignedBy(const unsigned char* sig, const std::string& message, const PublisherKeys& keys) {
    ed::signature signature;
    std::memcpy(signature.bytes.data(), sig, kSignatureSize);
    for (size_t i = 0; i < keys.count && i < kMaxPublisherKeys; ++i) {
        ed::public_key pk;
        std::memcpy(pk.bytes.data(), keys.keys[i].bytes, kPublisherKeySize);
        if (ed::ed25519_verify(signature, {message.data(), static_cast<std::ptrdiff_t>(message.size())}, pk))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

bool ParsePublisherKey(const char* hex, PublisherKey& out) {
    if (!hex || std::strlen(hex) != 2 * kPublisherKeySize) return false;
    PublisherKey key;
    for (size_t i = 0; i < kPublisherKeySize; ++i) {
        int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        key.bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    out = key;
    return true;
}

bool ParsePublisherKeys(const char* text, PublisherKeys& out) {
    if (!text) return false;
    PublisherKeys keys;
    std::string rest = text;
    for (;;) {
        const size_t comma = rest.find(',');
        if (keys.count == kMaxPublisherKeys || !ParsePublisherKey(rest.substr(0, comma).c_str(), keys.keys[keys.count]))
            return false;
        ++keys.count;
        if (comma == std::string::npos) break;
        rest.erase(0, comma + 1);
    }
    out = keys;
    return true;
}

std::string ToHex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

SignatureCheck CheckTrailer(const unsigned char* trailer, size_t size, const std::string& plain,
                            const PublisherKeys& keys, Release* release, size_t* keyIndex) {
    Release fields;
    std::string message;
    const unsigned char* sig = nullptr;
    if (size == kReleaseTrailerSize && std::memcmp(trailer, kReleaseMagic, kTrailerMarkSize) == 0) {
        fields.version = ReadLe(trailer + kTrailerMarkSize, 8);
        fields.expiryDay = static_cast<uint32_t>(ReadLe(trailer + kTrailerMarkSize + 8, 4));
        message.assign(reinterpret_cast<const char*>(trailer), kReleaseFieldsSize);
        sig = trailer + kReleaseFieldsSize;
    } else if (size == kSignatureTrailerSize && std::memcmp(trailer, kSignatureMagic, kTrailerMarkSize) == 0) {
        sig = trailer + kTrailerMarkSize;  // version 0, no expiry
    } else {
        return SignatureCheck::NotSigned;
    }
    message += plain;
    const int signer = SignedBy(sig, message, keys);
    if (signer < 0) return SignatureCheck::BadSignature;
    if (release) *release = fields;
    if (keyIndex) *keyIndex = static_cast<size_t>(signer);
    return SignatureCheck::Signed;
}

std::string ReleaseFields(const Release& release) {
    std::string out(kReleaseMagic, kTrailerMarkSize);
    PutLe(out, release.version, 8);
    PutLe(out, release.expiryDay, 4);
    return out;
}

std::string SignBytes(const std::string& message, const unsigned char (&seed)[kPublisherSeedSize]) {
    auto pair = KeyPair(seed);
    ed::signature sig = ed::ed25519_sign({message.data(), static_cast<std::ptrdiff_t>(message.size())},
                                         std::get<0>(pair), std::get<1>(pair));
    std::memset(std::get<1>(pair).bytes.data(), 0, std::get<1>(pair).bytes.size());
    return std::string(sig.bytes.data(), kSignatureSize);
}

std::string ReleaseTrailer(const std::string& plain, const Release& release,
                           const unsigned char (&seed)[kPublisherSeedSize]) {
    const std::string fields = ReleaseFields(release);
    return fields + SignBytes(fields + plain, seed);
}

std::string SignatureTrailer(const std::string& plain, const unsigned char (&seed)[kPublisherSeedSize]) {
    return std::string(kSignatureMagic, kTrailerMarkSize) + SignBytes(plain, seed);
}

PublisherKey PublicKeyOfSeed(const unsigned char (&seed)[kPublisherSeedSize]) {
    PublisherKey key;
    auto pair = KeyPair(seed);
    std::memcpy(key.bytes, std::get<0>(pair).bytes.data(), kPublisherKeySize);
    std::memset(std::get<1>(pair).bytes.data(), 0, std::get<1>(pair).bytes.size());
    return key;
}
