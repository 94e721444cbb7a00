// Reads and writes at explicit offsets, and the small conversions of the disk back-end: UTF-8
// paths to the system's form, system errors to the library's.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>

#include <libtorrent/error_code.hpp>

namespace lt = libtorrent;

// Reads and writes at an offset through the system's own calls. WriteFile and ReadFile with an
// OVERLAPPED offset also offer every completion to a completion port; under Wine that is a
// round trip through its server for each 16 KiB block, even when no port is bound.
class PositionalIo {
public:
    PositionalIo();

    // 0 or the Win32 error; `done` bytes moved.
    DWORD Write(HANDLE h, const void* p, DWORD length, std::int64_t offset, DWORD& done) const;
    DWORD Read(HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done) const;

private:
    using Call = LONG(WINAPI*)(HANDLE, HANDLE, void*, void*, void*, void*, ULONG, LARGE_INTEGER*, ULONG*);
    using ToDos = ULONG(WINAPI*)(LONG);

    DWORD Run(Call call, HANDLE h, void* p, DWORD length, std::int64_t offset, DWORD& done, bool write) const;

    Call m_read = nullptr;
    Call m_write = nullptr;
    ToDos m_toDos = nullptr;
};

// A Win32 error as the library's error code.
lt::error_code Win32Error(DWORD e);

// A C++ error as the library's, its category kept: the system's codes stay the system's
// (Win32 errors), the portable ones stay generic.
lt::error_code LibraryError(const std::error_code& e);

// A UTF-8 path of the library as a wide path, in the extended form when it is long.
std::wstring WidePath(const std::string& utf8);

// Creates every missing folder above `path`.
bool CreateParents(const std::wstring& path);
