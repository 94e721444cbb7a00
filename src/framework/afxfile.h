// A file object in the framework's manner: Open reports failure, Write throws CFileException.
#pragma once
#include <windows.h>

// Thrown by pointer, as the framework does; the catcher ends it with Delete().
class CFileException {
public:
    explicit CFileException(DWORD err) : m_lOsError(err) {}
    void Delete() { delete this; }
    DWORD m_lOsError;
};

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareDenyWrite = 0x0020,
        modeCreate = 0x1000,
    };

    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    BOOL Open(const char* path, UINT flags, CFileException* pError = nullptr) {
        Close();
        DWORD access = (flags & modeReadWrite) ? (GENERIC_READ | GENERIC_WRITE)
                       : (flags & modeWrite)  ? GENERIC_WRITE
                                              : GENERIC_READ;
        DWORD share = (flags & shareDenyWrite) ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
        DWORD disposition = (flags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
        m_hFile = ::CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hFile == INVALID_HANDLE_VALUE) {
            DWORD err = ::GetLastError();
            if (pError) pError->m_lOsError = err;
            ::SetLastError(err);
            return FALSE;
        }
        return TRUE;
    }
    void Write(const void* data, UINT count) {
        DWORD written = 0;
        if (!::WriteFile(m_hFile, data, count, &written, nullptr) || written != count)
            throw new CFileException(::GetLastError());
    }
    void Close() {
        if (m_hFile != INVALID_HANDLE_VALUE) ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};
