#include "download/PackedFile.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>

#include "common/Diagnostics.h"
#include "download/FetchFailure.h"
#include "download/UtcDate.h"
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

}  // namespace

UnpackStatus UnpackBytes(const unsigned char* data, size_t size, const PublisherKeys* keys, std::string& plain,
                         int* zlibCode, Release* release, size_t* keyIndex) {
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

    std::string content(reinterpret_cast<const char*>(out.get()), produced);
    out.reset();
    if (keys) {
        switch (CheckTrailer(data + streamEnd, static_cast<size_t>(size - streamEnd), content, *keys, release, keyIndex)) {
        case SignatureCheck::Signed: break;
        case SignatureCheck::NotSigned: return UnpackStatus::NotSigned;
        case SignatureCheck::BadSignature: return UnpackStatus::BadSignature;
        }
    }
    plain.swap(content);
    return UnpackStatus::Ok;
}

UnpackStatus ReadPackedFile(const char* path, const PublisherKeys* keys, std::string& plain, int* zlibCode,
                            Release* release, size_t* keyIndex) {
    plain.clear();
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
    if (keys) {
        // A signed file ends with its trailer; what is missing or extra is judged by UnpackBytes.
        wanted = total;
        if (wanted > streamEnd + kReleaseTrailerSize) wanted = streamEnd + kReleaseTrailerSize + 1;
    }
    if (wanted > 0x7FFFFFFFull) return UnpackStatus::BadStream;

    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[static_cast<size_t>(wanted)]);
    if (!bytes) return UnpackStatus::BadStream;
    std::memcpy(bytes.get(), header, 8);
    if (wanted > 8 && !ReadExact(file.get(), bytes.get() + 8, static_cast<DWORD>(wanted - 8)))
        return UnpackStatus::BadStream;
    return UnpackBytes(bytes.get(), static_cast<size_t>(wanted), keys, plain, zlibCode, release, keyIndex);
}

namespace {

// Writes the content as the whole file at `path`; false (with the system's error) when it cannot.
bool WriteWhole(const char* path, const std::string& content) {
    UniqueKernelHandle out(::CreateFileA(path, GENERIC_ALL, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    DWORD written = 0;
    return ::WriteFile(out.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

// A signed release that this user must not take: older than the highest version taken under
// any of the keys (a replay), or past its expiry by the system's clock (a frozen release).
CString ReleaseRefusal(const Release& release, const PublisherKeys& keys, const ReleaseStore& store) {
    bool unreadable = false;
    const uint64_t highest = store.Highest(keys, &unreadable);
    if (unreadable)
        DiagnosticLine(stderr, "the record of taken releases (HKEY_CURRENT_USER\\%s) cannot be read: taken as none\n",
                       store.subkey().c_str());
    if (release.version < highest) {
        const std::string numbers = std::to_string(release.version) + ", Accepted:" + std::to_string(highest);
        return FetchFailureMessage(FetchFailure::OlderRelease, 0, numbers.c_str());
    }
    if (release.expiryDay != 0 && UtcToday() > release.expiryDay)
        return FetchFailureMessage(FetchFailure::Expired, 0, FormatUtcDate(release.expiryDay).c_str());
    return CString();
}

}  // namespace

UnpackStatus UnpackPackedFile(const char* path, const PublisherKeys* keys, int* zlibCode) {
    std::string plain;
    UnpackStatus status = ReadPackedFile(path, keys, plain, zlibCode);
    if (status != UnpackStatus::Ok) return status;
    return WriteWhole(path, plain) ? UnpackStatus::Ok : UnpackStatus::Unopenable;
}

BOOL UnpackDownloadedFile(const char* path) { return UnpackPackedFile(path, nullptr) == UnpackStatus::Ok; }

CString UnpackFetchedDescription(const char* fetched, const char* description, const PublisherKeys* keys,
                                 bool* verified, const ReleaseStore& store, std::string* content) {
    if (verified) *verified = false;
    if (content) content->clear();
    int code = 0;
    std::string plain;
    Release release;
    size_t signer = 0;
    UnpackStatus status = ReadPackedFile(fetched, keys, plain, &code, &release, &signer);
    CString refusal;
    if (status == UnpackStatus::Ok && keys) refusal = ReleaseRefusal(release, *keys, store);
    if (status == UnpackStatus::Ok && refusal.IsEmpty()) {
        if (WriteWhole(fetched, plain) && ::MoveFileExA(fetched, description, MOVEFILE_REPLACE_EXISTING)) {
            if (keys) {
                if (!store.Raise(keys->keys[signer], release.version))
                    DiagnosticLine(stderr, "release %llu taken but not recorded (HKEY_CURRENT_USER\\%s)\n",
                                   static_cast<unsigned long long>(release.version), store.subkey().c_str());
                if (verified) *verified = true;
            }
            if (content) *content = std::move(plain);
            return CString();
        }
        status = UnpackStatus::Unopenable;
        code = static_cast<int>(::GetLastError());
    }
    ::DeleteFileA(fetched);
    // Unkeyed too: a description that does not unpack would leave the player waiting for a
    // download that never starts.
    if (!refusal.IsEmpty()) return refusal;
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

