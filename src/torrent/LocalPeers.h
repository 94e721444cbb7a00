// Peers on the player's own network (a PC room, a household): the library puts them in its local
// peer class, which its global rate limits leave alone. The upload governor (LineGovernor.h)
// limits the global class only and counts only what goes out through the player's line.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include <libtorrent/address.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>

// The library's own ranges of its local peer class: private networks (10/8, 172.16/12,
// 192.168/16, fc00::/7), link-local (169.254/16, fe80::/10) and loopback.
bool IsLocalPeer(const lt::address& address);

// Bytes sent to peers outside the local networks since the last Take (the first Take counts what
// each peer has been sent so far); a peer that came back on another connection starts again.
class RemoteUploadMeter {
public:
    std::int64_t Take(const std::vector<lt::peer_info>& peers);

private:
    std::map<lt::tcp::endpoint, std::int64_t> m_sent;
};

// The governor's limit on the session's global class (0: none). Peers of the local class are
// not held to it; the player's own limit stays on the torrent.
void ApplyLineLimit(lt::session& session, int bytesPerSecond);
