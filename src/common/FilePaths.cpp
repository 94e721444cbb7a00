#include "common/FilePaths.h"

#include <utility>

#include <windows.h>

std::wstring FullPath(const std::wstring& path) {
    if (path.empty()) return std::wstring();
    DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::wstring();
    std::wstring out(n, L'\0');
    DWORD got = ::GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    if (got == 0 || got >= n) return std::wstring();
    out.resize(got);
    return out;
}

std::wstring ExtendedPath(std::wstring path) {
    // Long absolute paths need the extended form.
    if (path.size() >= MAX_PATH - 12 && path.size() > 2 && path[1] == L':' && path[2] == L'\\')
        path = L"\\\\?\\" + path;
    return path;
}

namespace {

template <class Text>
Text StripSeparators(Text path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

}  // namespace

std::string WithoutTrailingSeparators(std::string path) { return StripSeparators(std::move(path)); }

std::wstring WithoutTrailingSeparators(std::wstring path) { return StripSeparators(std::move(path)); }

bool CreateParents(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return false;
    std::wstring dir = path.substr(0, slash);
    if (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (::GetLastError() != ERROR_PATH_NOT_FOUND) return false;
    return CreateParents(dir) && (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}
