#include "torrent/Sha1.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {

#define SHA1_TARGET __attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer))

// One group of four rounds from the fourth on: the message words of group `g` are in M0, the
// next three groups' in M1, M2, M3; Ea takes this group's E, Eb receives the next one's.
#define SHA1_GROUP(g, Ea, Eb, M0, M1, M2, M3)       \
    Ea = _mm_sha1nexte_epu32(Ea, M0);               \
    Eb = abcd;                                      \
    M1 = _mm_sha1msg2_epu32(M1, M0);                \
    abcd = _mm_sha1rnds4_epu32(abcd, Ea, (g) / 5);  \
    M3 = _mm_sha1msg1_epu32(M3, M0);                \
    M2 = _mm_xor_si128(M2, M0)

SHA1_TARGET void Compress(std::uint32_t state[5], const unsigned char* data, std::size_t blocks) {
    const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    __m128i e1;
    for (; blocks; --blocks, data += 64) {
        const __m128i abcdSave = abcd;
        const __m128i eSave = e0;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), mask);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), mask);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), mask);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), mask);

        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

        e1 = _mm_sha1nexte_epu32(e1, m1);
        e0 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e1, 0);
        m0 = _mm_sha1msg1_epu32(m0, m1);

        e0 = _mm_sha1nexte_epu32(e0, m2);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        m0 = _mm_xor_si128(m0, m2);

        SHA1_GROUP(3, e1, e0, m3, m0, m1, m2);
        SHA1_GROUP(4, e0, e1, m0, m1, m2, m3);
        SHA1_GROUP(5, e1, e0, m1, m2, m3, m0);
        SHA1_GROUP(6, e0, e1, m2, m3, m0, m1);
        SHA1_GROUP(7, e1, e0, m3, m0, m1, m2);
        SHA1_GROUP(8, e0, e1, m0, m1, m2, m3);
        SHA1_GROUP(9, e1, e0, m1, m2, m3, m0);
        SHA1_GROUP(10, e0, e1, m2, m3, m0, m1);
        SHA1_GROUP(11, e1, e0, m3, m0, m1, m2);
        SHA1_GROUP(12, e0, e1, m0, m1, m2, m3);
        SHA1_GROUP(13, e1, e0, m1, m2, m3, m0);
        SHA1_GROUP(14, e0, e1, m2, m3, m0, m1);
        SHA1_GROUP(15, e1, e0, m3, m0, m1, m2);
        SHA1_GROUP(16, e0, e1, m0, m1, m2, m3);
        SHA1_GROUP(17, e1, e0, m1, m2, m3, m0);
        SHA1_GROUP(18, e0, e1, m2, m3, m0, m1);
        // The last group: no message words to prepare any more.
        e1 = _mm_sha1nexte_epu32(e1, m3);
        e0 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e1, 3);

        e0 = _mm_sha1nexte_epu32(e0, eSave);
        abcd = _mm_add_epi32(abcd, abcdSave);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

bool DetectFastPath() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const bool sha = b & (1u << 29);
    return ssse3 && sse41 && sha;
}

}  // namespace

bool Sha1::HasFastPath() {
    static const bool fast = DetectFastPath();
    return fast;
}

Sha1::Sha1(bool allowFast)
    : m_fast(allowFast && HasFastPath()), m_state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {
    if (!m_fast) m_fallback.emplace();
}

void Sha1::Update(const char* data, std::size_t length) {
    if (!m_fast) {
        m_fallback->update(data, static_cast<int>(length));
        return;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    m_total += length;
    if (m_used) {
        std::size_t take = std::min(length, sizeof(m_block) - m_used);
        std::memcpy(m_block + m_used, p, take);
        m_used += take;
        p += take;
        length -= take;
        if (m_used < sizeof(m_block)) return;
        Compress(m_state, m_block, 1);
        m_used = 0;
    }
    if (length >= 64) {
        Compress(m_state, p, length / 64);
        p += length / 64 * 64;
        length %= 64;
    }
    std::memcpy(m_block, p, length);
    m_used = length;
}

lt::sha1_hash Sha1::Final() {
    if (!m_fast) return m_fallback->final();
    const std::uint64_t bits = m_total * 8;
    unsigned char pad[72] = {0x80};
    const std::size_t padLength = (m_used < 56 ? 56 : 120) - m_used;
    for (int i = 0; i < 8; ++i) pad[padLength + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Update(reinterpret_cast<const char*>(pad), padLength + 8);
    char out[20];
    for (int i = 0; i < 5; ++i)
        for (int k = 0; k < 4; ++k) out[4 * i + k] = static_cast<char>(m_state[i] >> (24 - 8 * k));
    return lt::sha1_hash(out);
}
