#include "torrent/OriginFetcher.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>

#include <libtorrent/address.hpp>

OriginPicker::OriginPicker(int pieces, std::uint32_t seed)
    : m_sources(static_cast<std::size_t>(pieces), PieceSource::Nobody),
      m_inFlight(static_cast<std::size_t>(pieces), 0),
      m_givenAt(static_cast<std::size_t>(pieces), 0),
      m_given(static_cast<std::size_t>(pieces), 0),
      m_failed(static_cast<std::size_t>(pieces), 0),
      m_random(seed ? seed : 1) {}

std::uint32_t OriginPicker::Random() {
    // xorshift32
    m_random ^= m_random << 13;
    m_random ^= m_random >> 17;
    m_random ^= m_random << 5;
    return m_random;
}

void OriginPicker::Update(const std::vector<PieceSource>& sources, bool peersSlow) {
    if (sources.size() == m_sources.size()) {
        // A peer now holds a piece this walk is fetching: another launcher's walk runs over the
        // same pieces (what it fetches is not seen until it has it), and the two would go on
        // fetching the same pieces side by side to the end. The next pick leaves the walk.
        for (std::size_t i = 0; i < sources.size(); ++i)
            if (m_inFlight[i] && sources[i] == PieceSource::Peer && m_sources[i] != PieceSource::Peer) m_cursor = -1;
        m_sources = sources;
    }
    m_peersSlow = peersSlow;
}

bool OriginPicker::Takes(int piece, bool fill, std::uint32_t nowMs) const {
    const std::size_t i = static_cast<std::size_t>(piece);
    if (m_inFlight[i] || m_failed[i] >= kMaxPieceFailures) return false;
    if (m_given[i] && nowMs - m_givenAt[i] < kRefetchMs) return false;
    const PieceSource source = m_sources[i];
    return source == PieceSource::Nobody || (fill && source == PieceSource::Peer);
}

// A point inside the largest run of pieces the origin may send: anywhere when the run is the
// whole torrent, else in its middle half; -1 when there is none.
int OriginPicker::StartOfLargestRun(bool fill, std::uint32_t nowMs) {
    const int n = static_cast<int>(m_sources.size());
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < n;) {
        if (!Takes(i, fill, nowMs)) {
            ++i;
            continue;
        }
        int j = i;
        while (j < n && Takes(j, fill, nowMs)) ++j;
        // Of runs of equal length, one at random (by a coin per tie).
        if (j - i > bestLength || (j - i == bestLength && (Random() & 1))) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    if (bestStart < 0) return -1;
    if (bestLength == n) return static_cast<int>(Random() % static_cast<std::uint32_t>(n));
    // A short run is taken from its end: its start is most likely where another launcher's
    // walk is fetching now.
    if (bestLength < 4) return bestStart + bestLength - 1;
    return bestStart + bestLength / 4 + static_cast<int>(Random() % static_cast<std::uint32_t>(bestLength / 2));
}

int OriginPicker::Next(std::uint32_t nowMs) {
    const int n = static_cast<int>(m_sources.size());
    int piece = -1;
    // On along the current walk while nobody else holds what comes next.
    if (m_cursor >= 0 && m_cursor < n && Takes(m_cursor, false, nowMs)) piece = m_cursor;
    if (piece < 0) piece = StartOfLargestRun(false, nowMs);
    if (piece < 0 && m_peersSlow) piece = StartOfLargestRun(true, nowMs);
    if (piece < 0) {
        m_cursor = -1;
        return -1;
    }
    m_inFlight[static_cast<std::size_t>(piece)] = 1;
    m_cursor = piece + 1;
    return piece;
}

void OriginPicker::Done(int piece, bool given, std::uint32_t nowMs) {
    if (piece < 0 || piece >= static_cast<int>(m_sources.size())) return;
    const std::size_t i = static_cast<std::size_t>(piece);
    m_inFlight[i] = 0;
    if (given) {
        m_given[i] = 1;
        m_givenAt[i] = nowMs;
    }
}

bool OriginPicker::HashFailed(int piece) {
    if (piece < 0 || piece >= static_cast<int>(m_sources.size())) return false;
    const std::size_t i = static_cast<std::size_t>(piece);
    if (!m_given[i]) return false;
    m_given[i] = 0;
    if (m_failed[i] < kMaxPieceFailures) ++m_failed[i];
    return true;
}

bool OriginPace::Look(std::int64_t peerRate, std::int64_t originRate) {
    m_peers[m_looks % kWindow] = peerRate;
    m_origin[m_looks % kWindow] = originRate;
    if (++m_looks < kWindow) return false;
    std::int64_t peers = 0, origin = 0;
    for (int i = 0; i < kWindow; ++i) {
        peers += m_peers[i];
        origin += m_origin[i];
    }
    peers /= kWindow;
    origin /= kWindow;
    m_bestOrigin = std::max(m_bestOrigin, origin);
    return peers < m_bestOrigin;
}

OriginFetcher::OriginFetcher(lt::torrent_handle handle, HttpUrl url, std::string source, std::int64_t pieceLength,
                             std::int64_t totalSize, int pieces)
    : m_handle(std::move(handle)),
      m_url(std::move(url)),
      m_source(std::move(source)),
      m_pieceLength(pieceLength),
      m_totalSize(totalSize),
      m_picker(pieces, static_cast<std::uint32_t>(::GetTickCount() * 2654435761u) ^
                           static_cast<std::uint32_t>(::GetCurrentProcessId() * 40503u) ^
                           static_cast<std::uint32_t>(std::hash<std::string>()(source))) {}

OriginFetcher::~OriginFetcher() { Stop(); }

void OriginFetcher::Start(int workers, LineGauge* gauge) {
    m_gauge = gauge;
    for (int i = 0; i < workers; ++i) m_threads.emplace_back([this] { Work(); });
}

void OriginFetcher::Stop() {
    m_stop = true;
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        if (t.joinable()) t.join();
    m_threads.clear();
}

void OriginFetcher::Update(const std::vector<PieceSource>& sources, bool peersSlow) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_picker.Update(sources, peersSlow);
    }
    m_wake.notify_all();
}

void OriginFetcher::HashFailed(int piece) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_picker.HashFailed(piece) || m_gaveUp) return;
        if (++m_hashFailures < kMaxHashFailures) return;
        m_lastError = std::to_string(m_hashFailures) + " pieces it sent failed their hash check";
        m_gaveUp = true;
    }
    m_wake.notify_all();
}

std::string OriginFetcher::LastError() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastError;
}

lt::peer_info OriginFetcher::AsPeer(std::int64_t rate) {
    lt::peer_info peer;
    std::string remote;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        remote = m_remote;
    }
    lt::error_code ec;
    const lt::address address = lt::make_address(remote.empty() ? "0.0.0.0" : remote, ec);
    peer.ip = lt::tcp::endpoint(ec ? lt::address_v4() : address, static_cast<unsigned short>(m_url.port));
    peer.connection_type = lt::peer_info::web_seed;
    peer.down_speed = static_cast<int>(rate);
    peer.up_speed = 0;
    peer.total_download = m_bytes;
    peer.total_upload = 0;
    return peer;
}

void OriginFetcher::Work() {
    HttpRangeClient client(m_url, m_source);
    std::vector<char> data;
    while (!m_stop && !m_gaveUp) {
        int piece;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            piece = m_picker.Next(::GetTickCount());
            // Nothing for the origin now: wait for the next look (or a tenth of a second).
            if (piece < 0) {
                m_wake.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
        }
        const std::int64_t offset = static_cast<std::int64_t>(piece) * m_pieceLength;
        const int size = static_cast<int>(std::min(m_pieceLength, m_totalSize - offset));
        std::string error;
        bool given = false;
        if (client.Get(offset, size, data, error, m_stop)) {
            if (m_gauge) m_gauge->Add(client.LastWaitMs());
            try {
                m_handle.add_piece(lt::piece_index_t(piece), std::move(data));
                given = true;
            } catch (const std::exception& e) {
                error = e.what();  // the torrent went away
            }
            data = std::vector<char>();
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_picker.Done(piece, given, ::GetTickCount());
            if (!given && !m_stop) m_lastError = error;
            if (given && m_remote.empty()) m_remote = client.RemoteAddress();
        }
        if (given) {
            m_bytes += size;
            m_failures = 0;
        } else if (!m_stop) {
            if (++m_failures >= kMaxFailures) {
                m_gaveUp = true;
                break;
            }
            // A moment before the next attempt, ended early by a stop.
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait_for(lock, std::chrono::milliseconds(500), [this] { return m_stop.load(); });
        }
    }
}
