// Helpers of the torrent unit tests: small torrents made on the spot, waits with a bound.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>

#include "test_support.h"
#include "torrent/LibraryPath.h"
#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"
#include "dlg_probe.h"

// A number of the running test. Sessions of tests that run side by side find each other on
// the loopback network (local service discovery), so every test's torrents must be its own.
inline unsigned TestSeed() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "";
    unsigned h = 2166136261u;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
}

// Appends the running test's name to a file (a program keeps running with bytes after its
// image), so that its torrent is the test's own.
inline bool MarkForTest(const std::string& path) {
    std::string bytes;
    if (!ReadBytes(path, bytes)) return false;
    return WriteBytes(path, bytes + "test " + std::to_string(TestSeed()));
}

// Writes `size` bytes that differ from piece to piece and from test to test.
inline bool WritePayload(const std::string& path, size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    unsigned x = (seed ^ TestSeed()) * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>(x >> 16);
    }
    return WriteBytes(path, data);
}

// Makes a single-file torrent of `folder\name` (the payload must exist) and writes its
// metainfo to `torrentPath`. Returns the torrent's v1 info-hash, empty on failure.
inline std::string MakeTorrentFile(const std::string& folder, const std::string& name, const std::string& torrentPath,
                                   int pieceSize = 16 * 1024) {
    lt::file_storage fs;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA((folder + "\\" + name).c_str(), GetFileExInfoStandard, &data)) return {};
    fs.add_file(AnsiToUtf8(name), (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    lt::create_torrent ct(fs, pieceSize, lt::create_torrent::v1_only);
    lt::error_code ec;
    lt::set_piece_hashes(ct, ToLibraryPath(folder), ec);
    if (ec) return {};
    std::vector<char> out;
    lt::bencode(std::back_inserter(out), ct.generate());
    if (!WriteBytes(torrentPath, std::string(out.begin(), out.end()))) return {};
    lt::torrent_info ti(out, lt::from_span);
    std::ostringstream hex;
    hex << ti.info_hashes().v1;
    return hex.str();
}

// Makes the folder the current directory for the life of the object.
class CurrentDir {
public:
    explicit CurrentDir(const std::string& dir) {
        ::GetCurrentDirectoryA(MAX_PATH, m_old);
        ::SetCurrentDirectoryA(dir.c_str());
    }
    ~CurrentDir() { ::SetCurrentDirectoryA(m_old); }

private:
    char m_old[MAX_PATH] = {};
};

// A dialog whose download folder (Down\) is a fresh folder, with a seed folder beside it
// for the published payloads; its session listens on the loopback address, on any port.
class DownloadFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        down = dir / "Down";
        ::CreateDirectoryA(down.c_str(), nullptr);
        seedDir = dir / "seed";
        ::CreateDirectoryA(seedDir.c_str(), nullptr);
        DlgProbe::m_config(dlg).downloadDir = down + "\\";
        DlgProbe::m_config(dlg).listenPort = 0;
        DlgProbe::m_config(dlg).listenInterface = "127.0.0.1";
    }

    TempDir dir;
    std::string down, seedDir;
    CMirelLauncherDlg dlg;
};

// A seeder session of its own on the loopback address, seeding `folder` with the torrent of
// `torrentPath`; `uploadLimit` bytes/s, 0 for none.
// A session of the tests' own on a free loopback port: no DHT, no local discovery, no port mapping.
inline lt::settings_pack LoopbackSessionSettings() {
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    return s;
}

inline std::unique_ptr<lt::session> StartLoopbackSeeder(const std::string& torrentPath, const std::string& folder,
                                                        int uploadLimit = 0) {
    lt::settings_pack s = LoopbackSessionSettings();
    s.set_int(lt::settings_pack::upload_rate_limit, uploadLimit);
    auto seeder = std::make_unique<lt::session>(s);
    // Peers on the loopback network are limited only inside the global peer class.
    lt::ip_filter classes;
    classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"),
                     1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id));
    seeder->set_peer_class_filter(classes);
    lt::add_torrent_params atp;
    atp.ti = std::make_shared<lt::torrent_info>(ToLibraryPath(torrentPath));
    atp.save_path = ToLibraryPath(folder);
    atp.flags = lt::torrent_flags::seed_mode;
    seeder->add_torrent(atp);
    return seeder;
}
