#include "common/WholeFile.h"

#include <memory>

#include "common/CodePage.h"

bool ReadWholeFileW(const std::wstring& path, std::vector<char>& buffer, LONGLONG maxSize) {
    buffer.clear();
    HANDLE opened = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return false;
    // Closed on every way out (common uses nothing of the framework, its handle wrappers included).
    std::unique_ptr<void, decltype(&::CloseHandle)> file(opened, &::CloseHandle);
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
