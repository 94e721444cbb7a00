// The origin as a backstop: when the launcher lets the torrent's web seeds work and when it
// takes them away, from what the connected peers hold and supply.
//
// The web seeds are taken away only while every piece still needed is held by a connected
// peer that is not choking us, and those peers together deliver at least the best rate the
// web seeds ever delivered here. They come back at once when a needed piece is held by no
// such peer, and after two looks in a row at peers delivering less than that rate. A launcher
// without peers never loses them.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include <libtorrent/bitfield.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/socket.hpp>
#include <libtorrent/torrent_handle.hpp>

namespace lt = libtorrent;

// Where a piece the launcher still needs can come from, as one look sees it: the origin
// fetches only pieces that nobody else will bring.
enum class PieceSource : char {
    Had,            // the torrent has it
    Peer,           // a connected peer holds it that is past its handshake and not stalled
    InFlightAtPeer, // requested from such a peer
    Nobody,         // no live peer holds it or is about to send it: the origin's
};

// One look at the torrent and its connections.
struct SwarmView {
    int needed = 0;         // pieces not yet had
    int uncovered = 0;      // of those, pieces no connected, unchoking peer holds
    int firstNeeded = -1;   // lowest and highest index of the pieces not yet had (-1: none)
    int lastNeeded = -1;
    std::int64_t peerRate = 0;  // payload bytes/s from BitTorrent peers
    std::int64_t webRate = 0;   // payload bytes/s from web seeds
    // What the diagnostic line shows of the look.
    int peers = 0;          // BitTorrent connections
    int ready = 0;          // of those, past their handshake
    int inFlightAtPeers = 0;  // needed pieces with a block requested from a BitTorrent peer
    int atWebSeed = 0;      // needed pieces with a block requested from a web seed
    int uncoveredAtWebSeed = 0;  // uncovered pieces the web seed is fetching
    int stalled = 0;        // ready peers that kept us waiting for kStallMs (choking us while we
                            // want what they hold, or bringing nothing for our requests): what
                            // they hold or are asked for counts as nobody's
    std::vector<PieceSource> sources;  // per piece
};

// A peer that keeps us waiting this long no longer counts as a source: the origin takes over
// its pieces at the next look.
constexpr std::uint32_t kStallMs = 2000;

// The payload bytes each connection had brought at the last look. Rates are what the
// connections brought between two looks: the library's own per-peer rates are averages that
// take several seconds to follow a change.
struct ConnectionTrack {
    std::int64_t total = 0;     // payload bytes it had brought
    std::uint32_t waitingMs = 0;  // how long it has had requests of ours and brought nothing
};
using ConnectionTotals = std::map<lt::tcp::endpoint, ConnectionTrack>;

// `have`: the torrent's pieces as its status gives them; `peers`: its connections;
// `queue`: its pieces in flight (get_download_queue); `elapsedMs` since the look that left
// `totals` (0: none, no rates yet), which this one replaces.
SwarmView ViewSwarm(const lt::typed_bitfield<lt::piece_index_t>& have, const std::vector<lt::peer_info>& peers,
                    const std::vector<lt::partial_piece_info>& queue, ConnectionTotals& totals,
                    std::uint32_t elapsedMs);

class WebSeedPolicy {
public:
    enum class Action { None, Remove, Restore };
    enum class Reason { None, PeersSupply, PieceNobodyHolds, PeersSlow };

    // Looks are a second or more apart; `nowMs` is a tick count in milliseconds.
    Action Look(const SwarmView& view, std::uint32_t nowMs);

    bool WebSeedsOn() const { return m_on; }
    Reason LastReason() const { return m_reason; }
    std::int64_t BestWebRate() const { return m_bestWebRate; }

    // The web seeds work for at least this long before they may be taken away (their rate
    // is measured meanwhile), also after each return.
    static constexpr std::uint32_t kMinOnMs = 4000;
    // Looks in a row at slow peers that bring the web seeds back.
    static constexpr int kSlowLooks = 2;

private:
    bool m_on = true;
    bool m_started = false;
    std::uint32_t m_onSinceMs = 0;
    std::int64_t m_bestWebRate = 0;
    int m_slowLooks = 0;
    Reason m_reason = Reason::None;
};
