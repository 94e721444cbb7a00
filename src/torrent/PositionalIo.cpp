#include "torrent/PositionalIo.h"

#include <winternl.h>

PositionalIo::PositionalIo(bool systemCalls) {
    HMODULE nt = systemCalls ? ::GetModuleHandleW(L"ntdll.dll") : nullptr;
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
