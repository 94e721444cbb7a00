#include "torrent/WholeFile.h"

#include "framework/handles.h"
#include "torrent/CodePage.h"

bool ReadWholeFileW(const std::wstring& path, std::vector<char>& buffer, LONGLONG maxSize) {
    buffer.clear();
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bool ok = false;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.get(), &size) && size.QuadPart >= 0 && size.QuadPart <= maxSize) {
        buffer.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(buffer.size());
        ok = buffer.empty() || (::ReadFile(file.get(), buffer.data(), want, &got, nullptr) && got == want);
        if (!ok) buffer.clear();
    }
    return ok;
}

bool ReadWholeFile(const std::string& ansiPath, std::vector<char>& buffer) {
    return ReadWholeFileW(AnsiToWide(ansiPath), buffer);
}
