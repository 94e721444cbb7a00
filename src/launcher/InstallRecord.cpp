#include "launcher/InstallRecord.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "framework/handles.h"
#include "launcher/StartParams.h"

namespace {

struct HeapDeleter {
    void operator()(void* p) const { ::HeapFree(::GetProcessHeap(), 0, p); }
};

// The record is only read. Asking for write access too would make it unreadable for a
// standard user, and an installed game would then count as not installed.
constexpr REGSAM kRecordAccess = KEY_READ;
constexpr DWORD kValueBufferSize = MAX_PATH;

bool OpenRecord(const char* keyPath, UniqueRegKey& key) {
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath ? keyPath : "", 0, kRecordAccess, key.put()) == ERROR_SUCCESS;
}

// A value counts only when it is a string value whose data, terminator included, fits the buffer.
bool ReadStringValue(HKEY key, const char* name, char (&buf)[kValueBufferSize]) {
    DWORD type = 0;
    DWORD size = kValueBufferSize;
    BYTE data[kValueBufferSize + 2] = {};
    if (::RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
    if (size > kValueBufferSize) return false;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (size < 1 || data[size - 1] != '\0') return false;
        break;
    case REG_MULTI_SZ:
        if (size < 2 || data[size - 1] != '\0' || data[size - 2] != '\0') return false;
        break;
    default:
        return false;
    }
    std::memcpy(buf, data, size);
    buf[kValueBufferSize - 1] = '\0';
    return true;
}

}  // namespace

BOOL EnsureGameFolder(const char* keyPath, char* installPath) {
    UniqueRegKey key;
    if (!OpenRecord(keyPath, key)) return FALSE;
    char value[kValueBufferSize];
    if (!ReadStringValue(key.get(), "InstallPath", value)) return FALSE;
    key.reset();
    std::memcpy(installPath, value, std::strlen(value) + 1);
    if (::CreateDirectoryA(installPath, nullptr)) return FALSE;
    return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

BOOL ReadGameVersion(const char* keyPath, char* version) {
    UniqueRegKey key;
    if (!OpenRecord(keyPath, key)) return FALSE;
    char value[kValueBufferSize];
    if (!ReadStringValue(key.get(), "Version", value)) return FALSE;
    CopyTruncated(version, kVersionSize, value);
    return TRUE;
}

void GetFileVersionString(const char* path, CString& result) {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return;
    std::unique_ptr<void, HeapDeleter> buffer(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!buffer) return;
    void* info = buffer.get();
    ::GetFileVersionInfoA(path, 0, size, info);

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* table = nullptr;
    UINT tableLen = 0;
    if (::VerQueryValueA(info, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&table), &tableLen) &&
        table && tableLen >= sizeof(Translation)) {
        char query[MAX_PATH];
        std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04X%04X\\%s", table[0].language, table[0].codePage,
                      "FileVersion");
        char* value = nullptr;
        UINT valueLen = 0;
        if (::VerQueryValueA(info, query, reinterpret_cast<void**>(&value), &valueLen) && value && valueLen > 0) {
            result.Format("%s", value);
        }
    }
}
