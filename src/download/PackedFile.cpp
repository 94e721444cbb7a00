#include "download/PackedFile.h"

#include <zlib.h>

#include <libtorrent/kademlia/ed25519.hpp>

#include <cstring>
#include <memory>
#include <new>

#include "download/FetchFailure.h"
#include "framework/handles.h"

namespace {

uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool ReadExact(HANDLE h, void* buf, DWORD size) {
    DWORD got = 0;
    return ::ReadFile(h, buf, size, &got, nullptr) && got == size;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

namespace ed = lt::dht;

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

std::string ToHex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

UnpackStatus UnpackBytes(const unsigned char* data, size_t size, const PublisherKey* key, std::string& plain,
                         int* zlibCode) {
    plain.clear();
    if (zlibCode) *zlibCode = Z_DATA_ERROR;
    if (size < 8) return UnpackStatus::BadStream;
    const uint32_t unpackedSize = ReadLe32(data);
    const uint32_t packedSize = ReadLe32(data + 4);
    // All size arithmetic in 64 bits: no stated size may wrap a bound.
    const uint64_t streamEnd = 8ull + packedSize;
    if (packedSize == 0 || streamEnd > size) return UnpackStatus::BadStream;

    // Deflate cannot expand more than about 1032:1, so a larger stated size is never needed in
    // full. One byte beyond the stated size tells a content larger than stated, which the
    // one-call unpacker would otherwise report as success when the stated size is 0.
    const uint64_t maxPlain = static_cast<uint64_t>(packedSize) * 1032u + 64u;
    uint64_t capacity = unpackedSize < maxPlain ? unpackedSize : maxPlain;
    if (capacity + 1 > 0x7FFFFFFFull) return UnpackStatus::BadStream;
    std::unique_ptr<Bytef[]> out(new (std::nothrow) Bytef[static_cast<size_t>(capacity) + 1]);
    if (!out) return UnpackStatus::BadStream;
    uLongf produced = static_cast<uLongf>(capacity + 1);
    int rc = uncompress(out.get(), &produced, data + 8, packedSize);
    if (zlibCode) *zlibCode = rc;
    if (rc != Z_OK) return UnpackStatus::BadStream;
    if (produced > unpackedSize) {
        if (zlibCode) *zlibCode = Z_BUF_ERROR;
        return UnpackStatus::BadStream;
    }

    if (key) {
        if (size - streamEnd != kSignatureTrailerSize ||
            std::memcmp(data + streamEnd, kSignatureMagic, kSignatureMagicSize) != 0)
            return UnpackStatus::NotSigned;
        ed::signature sig;
        std::memcpy(sig.bytes.data(), data + streamEnd + kSignatureMagicSize, kSignatureSize);
        ed::public_key pk;
        std::memcpy(pk.bytes.data(), key->bytes, kPublisherKeySize);
        if (!ed::ed25519_verify(sig, {reinterpret_cast<const char*>(out.get()), static_cast<std::ptrdiff_t>(produced)},
                                pk))
            return UnpackStatus::BadSignature;
    }
    plain.assign(reinterpret_cast<const char*>(out.get()), produced);
    return UnpackStatus::Ok;
}

UnpackStatus UnpackPackedFile(const char* path, const PublisherKey* key, int* zlibCode) {
    if (zlibCode) *zlibCode = 0;
    UniqueKernelHandle file(::CreateFileA(path, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (zlibCode) *zlibCode = static_cast<int>(::GetLastError());
        return UnpackStatus::Unopenable;
    }

    // Only bytes really in the file reach the unpacker, and no size from the header is trusted
    // for an allocation before it is checked against the file's length.
    unsigned char header[8] = {};
    LARGE_INTEGER fileSize{};
    if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart < 8 || !ReadExact(file.get(), header, 8))
        return UnpackStatus::BadStream;
    const uint64_t streamEnd = 8ull + ReadLe32(header + 4);
    const uint64_t total = static_cast<uint64_t>(fileSize.QuadPart);
    if (streamEnd > total) return UnpackStatus::BadStream;
    uint64_t wanted = streamEnd;
    if (key) {
        // A signed file ends with its trailer; what is missing or extra is judged by UnpackBytes.
        wanted = total;
        if (wanted > streamEnd + kSignatureTrailerSize) wanted = streamEnd + kSignatureTrailerSize + 1;
    }
    if (wanted > 0x7FFFFFFFull) return UnpackStatus::BadStream;

    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[static_cast<size_t>(wanted)]);
    if (!bytes) return UnpackStatus::BadStream;
    std::memcpy(bytes.get(), header, 8);
    if (wanted > 8 && !ReadExact(file.get(), bytes.get() + 8, static_cast<DWORD>(wanted - 8)))
        return UnpackStatus::BadStream;

    std::string plain;
    UnpackStatus status = UnpackBytes(bytes.get(), static_cast<size_t>(wanted), key, plain, zlibCode);
    if (status != UnpackStatus::Ok) return status;
    bytes.reset();
    file.reset();

    UniqueKernelHandle out(::CreateFileA(path, GENERIC_ALL, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return UnpackStatus::Unopenable;
    DWORD written = 0;
    if (!::WriteFile(out.get(), plain.data(), static_cast<DWORD>(plain.size()), &written, nullptr) ||
        written != plain.size())
        return UnpackStatus::Unopenable;
    return UnpackStatus::Ok;
}

BOOL UnpackDownloadedFile(const char* path) { return UnpackPackedFile(path, nullptr) == UnpackStatus::Ok; }

CString UnpackFetchedDescription(const char* fetched, const char* description, const PublisherKey* key,
                                 bool* verified) {
    if (verified) *verified = false;
    int code = 0;
    UnpackStatus status = UnpackPackedFile(fetched, key, &code);
    if (status == UnpackStatus::Ok) {
        if (::MoveFileExA(fetched, description, MOVEFILE_REPLACE_EXISTING)) {
            if (verified) *verified = key != nullptr;
            return CString();
        }
        status = UnpackStatus::Unopenable;
        code = static_cast<int>(::GetLastError());
    }
    ::DeleteFileA(fetched);
    if (!key) return CString();
    CString failure;
    switch (status) {
    case UnpackStatus::Ok:
    case UnpackStatus::Unopenable:
    case UnpackStatus::BadStream: failure = FetchFailureMessage(FetchFailure::Unpack, code); break;
    case UnpackStatus::NotSigned: failure = FetchFailureMessage(FetchFailure::NotSigned); break;
    case UnpackStatus::BadSignature: failure = FetchFailureMessage(FetchFailure::BadSignature); break;
    }
    return failure;
}

std::string PackContent(const std::string& plain, int level) {
    uLongf bound = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(bound, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &bound, reinterpret_cast<const Bytef*>(plain.data()),
                  static_cast<uLong>(plain.size()), level) != Z_OK)
        return std::string();
    packed.resize(bound);
    std::string out;
    PutLe32(out, static_cast<uint32_t>(plain.size()));
    PutLe32(out, static_cast<uint32_t>(packed.size()));
    return out + packed;
}

namespace {
std::tuple<ed::public_key, ed::secret_key> KeyPair(const unsigned char (&seed)[kPublisherSeedSize]) {
    std::array<char, 32> s;
    std::memcpy(s.data(), seed, s.size());
    return ed::ed25519_create_keypair(s);
}
}  // namespace

PublisherKey PublicKeyOfSeed(const unsigned char (&seed)[kPublisherSeedSize]) {
    PublisherKey key;
    auto pair = KeyPair(seed);
    std::memcpy(key.bytes, std::get<0>(pair).bytes.data(), kPublisherKeySize);
    return key;
}

std::string SignatureTrailer(const std::string& plain, const unsigned char (&seed)[kPublisherSeedSize]) {
    auto pair = KeyPair(seed);
    ed::signature sig = ed::ed25519_sign({plain.data(), static_cast<std::ptrdiff_t>(plain.size())}, std::get<0>(pair),
                                         std::get<1>(pair));
    std::string out(kSignatureMagic, kSignatureMagicSize);
    out.append(sig.bytes.data(), kSignatureSize);
    return out;
}
