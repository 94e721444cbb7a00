#include "torrent/PositionalIo.h"

#include <winternl.h>

PositionalIo::PositionalIo() {
    HMODULE nt = ::GetModuleHandleW(L"ntdll.dll");
    if (!nt) return;
    m_read = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(nt, "NtReadFile")));
    m_write = reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(nt, "NtWriteFile")));
    m_toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(::GetProcAddress(nt, "RtlNtStatusToDosError")));
    if (!m_read || !m_write || !m_toDos) m_read = m_write = nullptr;
}

DWORD PositionalIo::Write(HANDLE h, const void* p, DWORD length, std::int64_t offset, DWORD& done) const {
    return Run(m_write, h, const_cast<void*>(p), length, offset, done, true);
}

DWORD PositionalIo::Read(HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done) const {
    return Run(m_read, h, p, length, offset, done, false);
}

DWORD PositionalIo::Run(Call call, HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done,
                        bool write) const {
    done = 0;
    if (call) {
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER at;
        at.QuadPart = offset;
        LONG status = call(h, nullptr, nullptr, nullptr, &io, p, length, &at, nullptr);
        if (status >= 0) {
            done = static_cast<DWORD>(io.Information);
            return 0;
        }
        return m_toDos(status);
    }
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    BOOL ok = write ? ::WriteFile(h, p, length, &done, &ov) : ::ReadFile(h, p, length, &done, &ov);
    return ok ? 0 : ::GetLastError();
}

lt::error_code Win32Error(DWORD e) { return lt::error_code(static_cast<int>(e), lt::system_category()); }

lt::error_code LibraryError(const std::error_code& e) {
    if (e.category() == std::system_category()) return lt::error_code(e.value(), lt::system_category());
    return lt::error_code(e.value(), lt::generic_category());
}

std::wstring WidePath(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
    for (wchar_t& c : w)
        if (c == L'/') c = L'\\';
    // Long absolute paths need the extended form.
    if (w.size() >= MAX_PATH - 12 && w.size() > 2 && w[1] == L':' && w[2] == L'\\') w = L"\\\\?\\" + w;
    return w;
}

bool CreateParents(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) return false;
    std::wstring dir = path.substr(0, slash);
    if (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (::GetLastError() != ERROR_PATH_NOT_FOUND) return false;
    return CreateParents(dir) && (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
}
