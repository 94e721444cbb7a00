// SHA-1 of pieces. With the processor's SHA instructions when it has them (every recent AMD
// and Intel desktop processor): several times faster than Windows' CNG where CNG has no such
// path, and under Wine, whose CNG is a plain C loop. Otherwise Windows' CNG (the library's
// hasher).
#pragma once
#include <cstdint>
#include <optional>

#include <libtorrent/hasher.hpp>

namespace lt = libtorrent;

class Sha1 {
public:
    // `allowFast` false: always the library's hasher.
    explicit Sha1(bool allowFast = true);
    void Update(const char* data, std::size_t length);
    lt::sha1_hash Final();

    // True when this processor has the instructions the fast path needs.
    static bool HasFastPath();

private:
    bool m_fast;
    std::optional<lt::hasher> m_fallback;  // only without the fast path
    std::uint32_t m_state[5];
    unsigned char m_block[64];
    std::size_t m_used = 0;
    std::uint64_t m_total = 0;
};
