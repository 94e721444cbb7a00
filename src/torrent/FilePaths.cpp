#include "torrent/FilePaths.h"

#include <utility>

#include <windows.h>

std::wstring WidePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    return ExtendedPath(std::move(w));
}

std::wstring ExtendedPath(std::wstring path) {
    // Long absolute paths need the extended form.
    if (path.size() >= MAX_PATH - 12 && path.size() > 2 && path[1] == L':' && path[2] == L'\\')
        path = L"\\\\?\\" + path;
    return path;
}

bool CreateParents(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return false;
    std::wstring dir = path.substr(0, slash);
    if (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (::GetLastError() != ERROR_PATH_NOT_FOUND) return false;
    return CreateParents(dir) && (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}
