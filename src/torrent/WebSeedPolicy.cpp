#include "torrent/WebSeedPolicy.h"

#include <algorithm>
#include <set>

SwarmView ViewSwarm(const lt::typed_bitfield<lt::piece_index_t>& have, const std::vector<lt::peer_info>& peers,
                    const std::vector<lt::partial_piece_info>& queue, ConnectionTotals& totals,
                    std::uint32_t elapsedMs) {
    SwarmView view;
    ConnectionTotals now;
    std::set<lt::tcp::endpoint> webSeeds;
    // Only peers that could send a piece soon: past their handshake and not stalled.
    std::vector<const lt::peer_info*> suppliers;
    std::set<lt::tcp::endpoint> live;
    for (const lt::peer_info& peer : peers) {
        // A connection seen for the first time counts from the next look on; one whose count
        // went down is a new connection to the same address.
        ConnectionTrack track;
        track.total = peer.total_download;
        std::int64_t brought = 0;
        auto before = totals.find(peer.ip);
        if (before != totals.end()) {
            brought = peer.total_download - (peer.total_download >= before->second.total ? before->second.total : 0);
            track.waitingMs = before->second.waitingMs;
        }
        const std::int64_t rate = elapsedMs ? brought * 1000 / elapsedMs : 0;
        if (peer.connection_type == lt::peer_info::standard_bittorrent) {
            ++view.peers;
            view.peerRate += rate;
            // Ready: past its handshake. A peer that chokes us counts as a source for a while:
            // peers choke those that want nothing of them, and unchoke them once they do.
            const bool ready = !(peer.flags & (lt::peer_info::connecting | lt::peer_info::handshake));
            // Waiting: it chokes us while we want what it holds, or it has requests of ours
            // and brought nothing since the last look.
            const bool choked = (peer.flags & lt::peer_info::remote_choked) && (peer.flags & lt::peer_info::interesting);
            if (ready && (choked || (peer.download_queue_length > 0 && brought == 0)))
                track.waitingMs += elapsedMs;
            else
                track.waitingMs = 0;
            if (ready) {
                if (track.waitingMs >= kStallMs) {
                    ++view.stalled;
                } else {
                    suppliers.push_back(&peer);
                    live.insert(peer.ip);
                }
            }
        } else {
            webSeeds.insert(peer.ip);
            view.webRate += rate;
        }
        now[peer.ip] = track;
    }
    view.ready = static_cast<int>(suppliers.size()) + view.stalled;
    totals.swap(now);

    // Where the pieces in flight are requested from.
    std::vector<char> atPeer(static_cast<std::size_t>(have.size()), 0), atWeb(atPeer.size(), 0);
    for (const lt::partial_piece_info& partial : queue) {
        const int index = static_cast<int>(partial.piece_index);
        if (index < 0 || index >= have.size() || !partial.blocks) continue;
        for (int b = 0; b < partial.blocks_in_piece; ++b) {
            const lt::block_info& block = partial.blocks[b];
            if (block.state != lt::block_info::requested) continue;
            const lt::tcp::endpoint from = block.peer();
            if (webSeeds.count(from))
                atWeb[static_cast<std::size_t>(index)] = 1;
            else if (live.count(from))
                atPeer[static_cast<std::size_t>(index)] = 1;
        }
    }

    view.sources.assign(static_cast<std::size_t>(have.size()), PieceSource::Had);
    for (int i = 0; i < have.size(); ++i) {
        const lt::piece_index_t piece(i);
        if (have[piece]) continue;
        ++view.needed;
        if (view.firstNeeded < 0) view.firstNeeded = i;
        view.lastNeeded = i;
        const bool inFlight = atPeer[static_cast<std::size_t>(i)];
        if (inFlight) ++view.inFlightAtPeers;
        if (atWeb[static_cast<std::size_t>(i)]) ++view.atWebSeed;
        bool held = false;
        for (const lt::peer_info* peer : suppliers) {
            const bool seed = static_cast<bool>(peer->flags & lt::peer_info::seed);
            if (seed || (i < peer->pieces.size() && peer->pieces[piece])) {
                held = true;
                break;
            }
        }
        PieceSource& source = view.sources[static_cast<std::size_t>(i)];
        source = inFlight ? PieceSource::InFlightAtPeer : held ? PieceSource::Peer : PieceSource::Nobody;
        if (source == PieceSource::Nobody) {
            ++view.uncovered;
            if (atWeb[static_cast<std::size_t>(i)]) ++view.uncoveredAtWebSeed;
        }
    }
    return view;
}

WebSeedPolicy::Action WebSeedPolicy::Look(const SwarmView& view, std::uint32_t nowMs) {
    if (!m_started) {
        m_started = true;
        m_onSinceMs = nowMs;
    }
    if (view.needed == 0) return Action::None;  // complete: the library drops web seeds itself

    if (m_on) {
        if (view.webRate > m_bestWebRate) m_bestWebRate = view.webRate;
        const bool measured = nowMs - m_onSinceMs >= kMinOnMs;
        if (measured && view.uncovered == 0 && view.peerRate > 0 && view.peerRate >= m_bestWebRate) {
            m_on = false;
            m_slowLooks = 0;
            m_reason = Reason::PeersSupply;
            return Action::Remove;
        }
        return Action::None;
    }

    if (view.uncovered > 0) {
        m_reason = Reason::PieceNobodyHolds;
    } else if (view.peerRate < m_bestWebRate || view.peerRate == 0) {
        if (++m_slowLooks < kSlowLooks) return Action::None;
        m_reason = Reason::PeersSlow;
    } else {
        m_slowLooks = 0;
        return Action::None;
    }
    m_on = true;
    m_onSinceMs = nowMs;
    return Action::Restore;
}
