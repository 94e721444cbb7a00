// The origin as the launcher's own source: instead of the library's web seed, which keeps
// itself busy with pieces of its own choosing until the torrent is complete, the launcher
// fetches from the origin exactly the pieces that no live peer holds or is about to send, in
// ranged requests, and hands each to the library (torrent_handle::add_piece), which checks its
// hash as for any other piece.
//
// The order is the launcher's own: it walks forward from a point inside the largest run of
// pieces nobody holds (anywhere at the first pick), so launchers that start together fetch
// different stretches, and it leaves a walk as soon as it meets a piece someone else holds
// (that is where another launcher's stretch begins) for the middle of the largest run left.
// While the peers together bring less than the origin does, pieces peers hold (but do not
// already send) are fetched too, after those nobody holds: a launcher whose peers are slow
// keeps the origin's whole rate.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_handle.hpp>

#include "download/HttpRange.h"
#include "torrent/LineGovernor.h"
#include "torrent/WebSeedPolicy.h"

// Which piece the launcher fetches from the origin next.
class OriginPicker {
public:
    OriginPicker(int pieces, std::uint32_t seed);

    // A look's sources per piece; `peersSlow`: the peers bring less than the origin.
    void Update(const std::vector<PieceSource>& sources, bool peersSlow);
    // The next piece to fetch, marked as in flight; -1 when the origin has nothing to send now.
    int Next(std::uint32_t nowMs);
    // The fetch of `piece` ended; `given`: the piece went to the library (it is then not taken
    // again for kRefetchMs, while the library checks it: a piece whose check fails comes back).
    void Done(int piece, bool given, std::uint32_t nowMs);
    // The library found `piece` bad. True when the origin had given it (and not since been
    // found bad for it): the origin's failure. A piece the origin gave bad kMaxPieceFailures
    // times is left to the peers; one failed once may be fetched again at once.
    bool HashFailed(int piece);

    static constexpr std::uint32_t kRefetchMs = 10000;
    static constexpr int kMaxPieceFailures = 2;

private:
    bool Takes(int piece, bool fill, std::uint32_t nowMs) const;
    int StartOfLargestRun(bool fill, std::uint32_t nowMs);
    std::uint32_t Random();

    std::vector<PieceSource> m_sources;
    std::vector<char> m_inFlight;
    std::vector<std::uint32_t> m_givenAt;
    std::vector<char> m_given;
    std::vector<char> m_failed;  // times the origin's copy of each piece failed its check
    bool m_peersSlow = false;
    int m_cursor = -1;
    std::uint32_t m_random;
};

// Whether the peers bring less than the origin: the mean of the last kWindow looks at the
// peers (three seconds of them) against the best such mean of the origin in this run.
class OriginPace {
public:
    bool Look(std::int64_t peerRate, std::int64_t originRate);
    std::int64_t BestOriginRate() const { return m_bestOrigin; }
    static constexpr int kWindow = 12;

private:
    std::int64_t m_peers[kWindow] = {};
    std::int64_t m_origin[kWindow] = {};
    int m_looks = 0;
    std::int64_t m_bestOrigin = 0;
};

// The fetching threads: each with a connection of its own to the origin.
class OriginFetcher {
public:
    // `source`: the address connections leave from (empty: the system's choice).
    OriginFetcher(lt::torrent_handle handle, HttpUrl url, std::string source, std::int64_t pieceLength,
                  std::int64_t totalSize, int pieces);
    ~OriginFetcher();  // stops the threads and waits for them
    OriginFetcher(const OriginFetcher&) = delete;
    OriginFetcher& operator=(const OriginFetcher&) = delete;

    // `gauge`, when given, gets each request's wait for its answer as a round trip of the line;
    // it must outlive the fetcher's threads.
    void Start(int workers, LineGauge* gauge = nullptr);
    void Stop();
    void Update(const std::vector<PieceSource>& sources, bool peersSlow);
    std::int64_t BytesGiven() const { return m_bytes; }
    // The library found `piece` bad (a hash failure): counted against the origin when it had
    // given the piece.
    void HashFailed(int piece);
    // It gave up after kMaxFailures failed fetches in a row, or kMaxHashFailures pieces it gave
    // that failed their check (a damaged copy on the origin); the reason.
    bool GaveUp() const { return m_gaveUp; }
    std::string LastError();
    // The origin as a row of the peer window: its address, what it brought and at what rate.
    lt::peer_info AsPeer(std::int64_t rate);

    static constexpr int kMaxFailures = 8;
    static constexpr int kMaxHashFailures = 3;

private:
    void Work();

    lt::torrent_handle m_handle;
    HttpUrl m_url;
    std::string m_source;
    std::int64_t m_pieceLength;
    std::int64_t m_totalSize;
    std::mutex m_lock;  // the picker and the last error
    std::condition_variable m_wake;
    OriginPicker m_picker;
    std::string m_lastError;
    std::string m_remote;  // the origin's address, once connected
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_gaveUp{false};
    std::atomic<int> m_failures{0};
    int m_hashFailures = 0;  // under m_lock
    std::atomic<std::int64_t> m_bytes{0};
    LineGauge* m_gauge = nullptr;
    std::vector<std::thread> m_threads;
};
