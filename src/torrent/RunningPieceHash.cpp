#include "torrent/RunningPieceHash.h"

#include <algorithm>

#include <libtorrent/hasher.hpp>

RunningPieceHash::RunningPieceHash(int size, int size2) : m_size(size), m_size2(size2) {
    m_arrived.resize(static_cast<size_t>(Blocks()));
    if (m_size2 > 0) {
        m_blockHash.resize(static_cast<size_t>((m_size2 + kBlockSize - 1) / kBlockSize));
        m_blockKnown.resize(m_blockHash.size());
    }
}

int RunningPieceHash::Blocks() const { return (std::max(m_size, m_size2) + kBlockSize - 1) / kBlockSize; }

void RunningPieceHash::Written(int start, const char* data, int length, const ReadBack& read) {
    // A whole block: at a block's start and as long as a block, or the rest of the piece.
    const bool aligned = start >= 0 && start % kBlockSize == 0 && length > 0 &&
                         (length == kBlockSize || start + length == m_size || start + length == m_size2);
    // v2: the block's own hash, whatever the order.
    if (m_size2 > 0) {
        if (aligned && start < m_size2) {
            const size_t b = static_cast<size_t>(start / kBlockSize);
            m_blockHash[b] = lt::hasher256(data, std::min(length, m_size2 - start)).final();
            m_blockKnown[b] = true;
        } else {
            std::fill(m_blockKnown.begin(), m_blockKnown.end(), false);
        }
    }
    if (m_broken) return;
    if (!aligned || start < m_next || start >= m_size) {
        m_broken = true;
        return;
    }
    m_arrived[static_cast<size_t>(start / kBlockSize)] = true;
    if (start != m_next) return;
    m_sha1.Update(data, static_cast<size_t>(std::min(length, m_size - start)));
    m_next = std::min(m_size, start + length);
    std::vector<char> back;
    while (m_next < m_size && m_arrived[static_cast<size_t>(m_next / kBlockSize)]) {
        const int len = std::min(kBlockSize, m_size - m_next);
        back.resize(static_cast<size_t>(len));
        if (!read(m_next, back.data(), len)) {
            m_broken = true;
            return;
        }
        m_sha1.Update(back.data(), static_cast<size_t>(len));
        m_next += len;
    }
}

bool RunningPieceHash::Finish(bool v1, lt::span<lt::sha256_hash> v2, lt::sha1_hash& sha1, const ReadBack& read) {
    if (m_broken) {
        m_sha1 = Sha1();
        m_next = 0;
        m_broken = false;
    }
    const int total = std::max(v1 ? m_size : 0, v2.empty() ? 0 : m_size2);
    std::vector<char> buf;
    for (int off = 0, block = 0; off < total; off += kBlockSize, ++block) {
        const int len = std::min(kBlockSize, total - off);
        const bool forSha1 = v1 && off >= m_next && off < m_size;
        const bool inV2 = !v2.empty() && off < m_size2 && block < static_cast<int>(v2.size());
        lt::sha256_hash known;
        const bool forV2 = inV2 && !BlockHash(off, known);
        if (inV2 && !forV2) v2[block] = known;
        if (!forSha1 && !forV2) continue;
        buf.resize(static_cast<size_t>(len));
        if (!read(off, buf.data(), len)) return false;
        if (forSha1) {
            m_sha1.Update(buf.data(), static_cast<size_t>(std::min(len, m_size - off)));
            m_next = std::min(m_size, off + len);
        }
        if (forV2) v2[block] = lt::hasher256(buf.data(), std::min(len, m_size2 - off)).final();
    }
    if (v1) sha1 = m_sha1.Final();
    return true;
}

bool RunningPieceHash::BlockHash(int offset, lt::sha256_hash& out) const {
    if (offset < 0 || offset % kBlockSize != 0 || offset >= m_size2) return false;
    const size_t b = static_cast<size_t>(offset / kBlockSize);
    if (!m_blockKnown[b]) return false;
    out = m_blockHash[b];
    return true;
}
