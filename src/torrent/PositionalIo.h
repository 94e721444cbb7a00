// Reads and writes at explicit offsets.
#pragma once
#include <windows.h>

#include <cstdint>

// Reads and writes at an offset through the system's own calls. WriteFile and ReadFile with an
// OVERLAPPED offset also offer every completion to a completion port; under Wine that is a
// round trip through its server for each 16 KiB block, even when no port is bound.
class PositionalIo {
public:
    // `systemCalls` false: ReadFile and WriteFile with an OVERLAPPED offset, as where ntdll lacks
    // the calls.
    explicit PositionalIo(bool systemCalls = true);

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
