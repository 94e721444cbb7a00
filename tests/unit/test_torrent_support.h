// Helpers of the torrent unit tests: small torrents made on the spot, waits with a bound.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#include "test_support.h"
#include "torrent/TorrentSession.h"

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

// Polls `done` until it holds or `timeoutMs` has passed; the result of the last poll.
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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

inline std::string CurrentDirectory() {
    char buf[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, buf);
    return buf;
}
