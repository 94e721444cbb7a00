// The highest release version this user's launcher has taken, per publisher key: one REG_QWORD
// value per key, named by the key's 64 hex digits, under HKEY_CURRENT_USER\<subkey>. A keyed
// launcher refuses a description older than the highest version recorded for any key it trusts,
// so that a replayed older release (signed by either key during a rollover) is never taken.
#pragma once
#include <cstdint>
#include <string>

#include "download/ReleaseSignature.h"

constexpr char kReleaseStoreKey[] = "Software\\Mirel Online\\Launcher\\Releases";

class ReleaseStore {
public:
    explicit ReleaseStore(std::string subkey = kReleaseStoreKey) : m_subkey(std::move(subkey)) {}

    enum class Found {
        Missing,     // no value for the key (nothing taken yet, or the store itself is missing)
        Unreadable,  // a value that is no 64-bit number, or the store cannot be read
        Value,
    };
    Found Read(const PublisherKey& key, uint64_t& version) const;

    // The highest version recorded for any of the keys; 0 when none is. An unreadable value
    // counts as none (see docs/publishing.md: only the user can make it so, and the user is not the
    // threat), and `unreadable` tells of it.
    uint64_t Highest(const PublisherKeys& keys, bool* unreadable = nullptr) const;

    // Records `version` for the key unless a higher one is there already. False when it could
    // not be written.
    bool Raise(const PublisherKey& key, uint64_t version) const;

    const std::string& subkey() const { return m_subkey; }

private:
    std::string m_subkey;
};
