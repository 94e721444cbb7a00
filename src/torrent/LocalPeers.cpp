#include "torrent/LocalPeers.h"

#include <libtorrent/settings_pack.hpp>

namespace {

bool InV4(std::uint32_t ip, std::uint32_t net, int bits) {
    const std::uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    return (ip & mask) == (net & mask);
}

}  // namespace

bool IsLocalPeer(const lt::address& address) {
    if (address.is_v4()) {
        const std::uint32_t ip = address.to_v4().to_uint();
        return InV4(ip, 0x0A000000u, 8) || InV4(ip, 0xAC100000u, 12) || InV4(ip, 0xC0A80000u, 16) ||
               InV4(ip, 0xA9FE0000u, 16) || InV4(ip, 0x7F000000u, 8);
    }
    // As the library's filter sees it: a v4-mapped address is in no local range.
    const lt::address_v6 v6 = address.to_v6();
    const auto bytes = v6.to_bytes();
    return (bytes[0] & 0xFE) == 0xFC || (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80) || v6.is_loopback();
}

std::int64_t RemoteUploadMeter::Take(const std::vector<lt::peer_info>& peers) {
    std::map<lt::tcp::endpoint, std::int64_t> sent;
    std::int64_t total = 0;
    for (const lt::peer_info& p : peers) {
        if (IsLocalPeer(p.ip.address())) continue;
        const auto before = m_sent.find(p.ip);
        const std::int64_t was = before == m_sent.end() || before->second > p.total_upload ? 0 : before->second;
        total += p.total_upload - was;
        sent[p.ip] = p.total_upload;
    }
    m_sent.swap(sent);
    return total;
}

void ApplyLineLimit(lt::session& session, int bytesPerSecond) {
    lt::settings_pack pack;
    pack.set_int(lt::settings_pack::upload_rate_limit, bytesPerSecond > 0 ? bytesPerSecond : 0);
    session.apply_settings(std::move(pack));
}
