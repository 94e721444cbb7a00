#include "download/PackedFile.h"

#include <zlib.h>

#include <memory>
#include <new>

#include "framework/handles.h"
#include "ui/MirelLauncherDlg.h"

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

BOOL CMirelLauncherDlg::UnpackDownloadedFile(const char* path) {
    UniqueKernelHandle file(::CreateFileA(path, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return FALSE;

    unsigned char header[8] = {};
    DWORD got = 0;
    ::ReadFile(file.get(), header, sizeof(header), &got, nullptr);
    uint32_t unpackedSize = got >= 4 ? ReadLe32(header) : 0;
    uint32_t packedSize = got >= 8 ? ReadLe32(header + 4) : 0;

    // Only bytes really in the file may reach the unpacker, and no size from the header is
    // trusted for an allocation: the stream must lie inside the file, and deflate cannot
    // expand more than about 1032:1, so a larger stated size is never needed in full.
    LARGE_INTEGER fileSize{};
    if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart < 8) return FALSE;
    if (packedSize == 0 || packedSize > static_cast<uint64_t>(fileSize.QuadPart) - 8) return FALSE;
    uint64_t maxPlain = static_cast<uint64_t>(packedSize) * 1032u + 64u;
    uLongf capacity = static_cast<uLongf>(unpackedSize < maxPlain ? unpackedSize : maxPlain);

    std::unique_ptr<Bytef[]> packed(new (std::nothrow) Bytef[packedSize]);
    std::unique_ptr<Bytef[]> plain(new (std::nothrow) Bytef[capacity ? capacity : 1]);
    if (!packed || !plain) return FALSE;
    if (!ReadExact(file.get(), packed.get(), packedSize)) return FALSE;

    uLongf produced = capacity;
    if (uncompress(plain.get(), &produced, packed.get(), packedSize) != Z_OK) return FALSE;
    file.reset();

    UniqueKernelHandle out(::CreateFileA(path, GENERIC_ALL, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return FALSE;
    DWORD written = 0;
    return ::WriteFile(out.get(), plain.get(), produced, &written, nullptr) && written == produced;
}
