// The hashes of a piece, kept up to date as its blocks reach the disk, so that a finished
// piece is rarely read back: the running SHA-1 (v1) takes the blocks in order, and blocks that
// came before their turn are read back when it comes; a v2 torrent's SHA-256 of each block is
// taken as the block is written, in any order.
#pragma once
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/sha1_hash.hpp>
#include <libtorrent/span.hpp>

#include "torrent/Sha1.h"

namespace lt = libtorrent;

// The library's block: the unit of its requests, of our writes and of v2 hashes.
constexpr int kBlockSize = lt::default_block_size;

class RunningPieceHash {
public:
    // Reads `length` bytes of the piece at `offset` from the disk; false on failure. Refers to
    // the callable it is made from (nothing is allocated), which outlives the call it is
    // passed to.
    class ReadBack {
    public:
        template <class F, class = std::enable_if_t<!std::is_same<std::decay_t<F>, ReadBack>::value>>
        ReadBack(F&& f)  // NOLINT: made implicitly from the callable
            : m_target(const_cast<void*>(static_cast<const void*>(&f))),
              m_call([](void* t, int offset, char* out, int length) {
                  return (*static_cast<std::remove_reference_t<F>*>(t))(offset, out, length);
              }) {}
        bool operator()(int offset, char* out, int length) const { return m_call(m_target, offset, out, length); }

    private:
        void* m_target;
        bool (*m_call)(void*, int, char*, int);
    };

    // `size` is the piece's size in the v1 sense (with pad bytes); `size2` its size in its
    // file, for a v2 or hybrid torrent, else 0.
    RunningPieceHash(int size, int size2);

    // A block written at `start`. The SHA-1 goes on while blocks come in order, reading back
    // earlier blocks that now follow; a block that overwrites what is already hashed sends the
    // piece back to a full read at the end.
    void Written(int start, const char* data, int length, const ReadBack& read);

    // The piece's SHA-1 (when `v1`) and its blocks' SHA-256 (into `v2`), reading only what
    // the writes did not already cover. False when a read failed.
    bool Finish(bool v1, lt::span<lt::sha256_hash> v2, lt::sha1_hash& sha1, const ReadBack& read);

    // The SHA-256 of the block at `offset`, when it is known from its write.
    bool BlockHash(int offset, lt::sha256_hash& out) const;

private:
    int Blocks() const;

    int m_size;
    int m_size2;
    Sha1 m_sha1;
    int m_next = 0;                         // bytes of the SHA-1 so far
    bool m_broken = false;                  // hashed bytes were written again: start over
    std::vector<bool> m_arrived;            // blocks written, in order or not
    std::vector<lt::sha256_hash> m_blockHash;  // v2: per block, valid where m_blockKnown
    std::vector<bool> m_blockKnown;
};
