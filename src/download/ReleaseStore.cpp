#include "download/ReleaseStore.h"

#include <windows.h>

#include "framework/handles.h"

ReleaseStore::Found ReleaseStore::Read(const PublisherKey& key, uint64_t& version) const {
    UniqueRegKey store;
    const LONG opened = ::RegOpenKeyExA(HKEY_CURRENT_USER, m_subkey.c_str(), 0, KEY_QUERY_VALUE, store.put());
    if (opened == ERROR_FILE_NOT_FOUND) return Found::Missing;
    if (opened != ERROR_SUCCESS) return Found::Unreadable;
    const std::string name = ToHex(key.bytes, sizeof(key.bytes));
    DWORD type = 0;
    unsigned char data[8] = {};
    DWORD size = sizeof(data);
    const LONG read = ::RegQueryValueExA(store.get(), name.c_str(), nullptr, &type, data, &size);
    if (read == ERROR_FILE_NOT_FOUND) return Found::Missing;
    if (read != ERROR_SUCCESS || type != REG_QWORD || size != sizeof(data)) return Found::Unreadable;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | data[i];
    version = v;
    return Found::Value;
}

uint64_t ReleaseStore::Highest(const PublisherKeys& keys, bool* unreadable) const {
    if (unreadable) *unreadable = false;
    uint64_t highest = 0;
    for (size_t i = 0; i < keys.count && i < kMaxPublisherKeys; ++i) {
        uint64_t v = 0;
        const Found found = Read(keys.keys[i], v);
        if (found == Found::Value && v > highest) highest = v;
        if (found == Found::Unreadable && unreadable) *unreadable = true;
    }
    return highest;
}

bool ReleaseStore::Raise(const PublisherKey& key, uint64_t version) const {
    uint64_t stored = 0;
    if (Read(key, stored) == Found::Value && stored >= version) return true;
    UniqueRegKey store;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, m_subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, store.put(), nullptr) != ERROR_SUCCESS)
        return false;
    unsigned char data[8];
    for (int i = 0; i < 8; ++i) data[i] = static_cast<unsigned char>((version >> (8 * i)) & 0xFF);
    const std::string name = ToHex(key.bytes, sizeof(key.bytes));
    // An unreadable value of another type is replaced: it guards nothing.
    return ::RegSetValueExA(store.get(), name.c_str(), 0, REG_QWORD, data, sizeof(data)) == ERROR_SUCCESS;
}
