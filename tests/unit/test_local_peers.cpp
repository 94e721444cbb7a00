// Peers on the player's own network and the upload governor: which addresses the library counts
// as local, what the governor counts as sent through the player's line, and where its limit goes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>

#include "test_support.h"
#include "test_torrent_support.h"
#include "torrent/LocalPeers.h"

namespace {

lt::peer_info PeerAt(const char* address, int port, std::int64_t sent) {
    lt::peer_info p;
    p.ip = lt::tcp::endpoint(lt::make_address(address), static_cast<unsigned short>(port));
    p.total_upload = sent;
    return p;
}

}  // namespace

TEST(LocalPeers, TheLibrarysLocalRangesAndNothingElse) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"10.0.0.1", true},         {"10.255.255.255", true},  {"11.0.0.1", false},
        {"172.16.0.1", true},       {"172.31.255.254", true},  {"172.15.255.255", false},
        {"172.32.0.1", false},      {"192.168.1.20", true},    {"192.169.0.1", false},
        {"169.254.10.10", true},    {"127.0.0.1", true},       {"127.200.0.1", true},
        {"198.18.0.11", false},     {"100.64.0.1", false},     {"8.8.8.8", false},
        {"fd12:3456::1", true},     {"fc00::1", true},         {"fe80::1", true},
        {"febf::1", true},          {"fec0::1", false},        {"::1", true},
        {"2001:db8::1", false},     {"::ffff:10.0.0.1", false},  // the library's filter sees a v6 address
    };
    for (const auto& c : cases) EXPECT_EQ(IsLocalPeer(lt::make_address(c.first)), c.second) << c.first;
}

// The governor's rate is what went to peers beyond the player's network since its last look.
TEST(LocalPeers, RemoteUploadCountsOnlyPeersBeyondTheLocalNetworks) {
    RemoteUploadMeter meter;
    EXPECT_EQ(meter.Take({PeerAt("198.18.0.11", 6881, 1000), PeerAt("192.168.0.5", 6881, 50000)}), 1000);
    // Since the last look: 500 more to the remote peer; a new remote peer counts from nothing;
    // the seat next door sends 9 MB and counts for nothing.
    EXPECT_EQ(meter.Take({PeerAt("198.18.0.11", 6881, 1500), PeerAt("203.0.113.7", 51413, 300),
                          PeerAt("192.168.0.5", 6881, 9000000)}),
              800);
    // A peer that went and came back on a new connection (its total starts again) counts its
    // new total; one that is gone counts nothing.
    EXPECT_EQ(meter.Take({PeerAt("198.18.0.11", 6881, 200)}), 200);
    EXPECT_EQ(meter.Take({}), 0);
}

// The governor's limit is on the session's global class, which the library's local peer class
// is outside of, and leaves the torrent's own limit (the player's) as it was.
TEST(LocalPeers, TheLineLimitIsOnTheGlobalClassNotOnTheTorrent) {
    TempDir tmp;
    ASSERT_TRUE(WritePayload(tmp / "Setup.exe", 64 * 1024));
    ASSERT_FALSE(MakeTorrentFile(tmp.path(), "Setup.exe", tmp / "Mirel.ndn").empty());
    lt::session ses(LoopbackSessionSettings());
    lt::add_torrent_params atp;
    atp.ti = std::make_shared<lt::torrent_info>(ToLibraryPath(tmp / "Mirel.ndn"));
    atp.save_path = ToLibraryPath(tmp.path());
    lt::torrent_handle h = ses.add_torrent(atp);
    h.set_upload_limit(300 * 1024);  // the player's own

    ApplyLineLimit(ses, 120 * 1024);
    EXPECT_EQ(ses.get_settings().get_int(lt::settings_pack::upload_rate_limit), 120 * 1024);
    EXPECT_EQ(h.upload_limit(), 300 * 1024);
    ApplyLineLimit(ses, 0);
    EXPECT_EQ(ses.get_settings().get_int(lt::settings_pack::upload_rate_limit), 0);
    EXPECT_EQ(h.upload_limit(), 300 * 1024);
    // Local peers have a class of their own, with no limit: the global limit does not reach them.
    lt::peer_class_info local = ses.get_peer_class(lt::session::local_peer_class_id);
    EXPECT_EQ(local.upload_limit, 0);
    ses.remove_torrent(h);
}
