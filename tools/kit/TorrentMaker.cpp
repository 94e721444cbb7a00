#include "kit/TorrentMaker.h"

#include <windows.h>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/hasher.hpp>
#include <libtorrent/torrent_info.hpp>

#include <algorithm>
#include <cctype>
#include <exception>
#include <iterator>
#include <memory>
#include <new>

#include "framework/handles.h"
#include "torrent/Sha1.h"

namespace {

constexpr int kBlock = 16 * 1024;  // the leaves of a v2 piece's hash tree

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Hex(const char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// scheme://host[:port][/path...]: the scheme (lower case) and whether the rest is a usable
// host, port and path, with the reason when not. `portRequired` for udp trackers.
bool SplitUrl(const std::string& url, std::string& scheme, bool portRequired, std::string& why) {
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F) {
            why = "holds a blank, a control or a non-ASCII character (percent-encode it)";
            return false;
        }
    }
    const size_t colon = url.find("://");
    if (colon == std::string::npos || colon == 0) {
        why = "is not a URL (scheme://host/path)";
        return false;
    }
    scheme = Lower(url.substr(0, colon));
    const size_t hostStart = colon + 3;
    size_t hostEnd = url.find_first_of("/?#", hostStart);
    if (hostEnd == std::string::npos) hostEnd = url.size();
    std::string authority = url.substr(hostStart, hostEnd - hostStart);
    if (authority.find('@') != std::string::npos) {
        why = "carries a user name or password, which every player would see";
        return false;
    }
    std::string host = authority, port;
    const size_t portColon = authority.rfind(':');
    if (portColon != std::string::npos && authority.find(']', portColon) == std::string::npos) {
        host = authority.substr(0, portColon);
        port = authority.substr(portColon + 1);
        if (port.empty()) {
            why = "has an empty port";
            return false;
        }
    }
    if (host.empty()) {
        why = "names no host";
        return false;
    }
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    for (char c : bracketed ? host.substr(1, host.size() - 2) : host) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || (bracketed && c == ':');
        if (!ok) {
            why = "has a host name that is not one";
            return false;
        }
    }
    if (!port.empty()) {
        long value = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || (value = value * 10 + (c - '0')) > 65535) {
                why = "has a port that is not a number from 1 to 65535";
                return false;
            }
        }
        if (value == 0) {
            why = "has a port that is not a number from 1 to 65535";
            return false;
        }
    } else if (portRequired) {
        why = "names no port";
        return false;
    }
    return true;
}

// The file's name, the last part of its path, in UTF-8.
bool NameOf(const std::wstring& path, std::string& name) {
    const size_t slash = path.find_last_of(L"\\/:");
    const std::wstring base = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (base.empty()) return false;
    const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, base.c_str(), static_cast<int>(base.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    name.assign(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, base.c_str(), static_cast<int>(base.size()), &name[0], n,
                          nullptr, nullptr);
    return true;
}

std::string Narrow(const std::wstring& text) {
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

bool ReadFully(HANDLE file, char* buf, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!::ReadFile(file, buf + done, size - done, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

// The root of a v2 piece's hash tree over its 16 KiB blocks (`leaves`, a power of two of them;
// the ones past the data are zero).
lt::sha256_hash MerkleRoot(std::vector<lt::sha256_hash> leaves) {
    while (leaves.size() > 1) {
        for (size_t i = 0; i < leaves.size() / 2; ++i) {
            lt::hasher256 h;
            h.update(leaves[2 * i].data(), static_cast<int>(leaves[2 * i].size()));
            h.update(leaves[2 * i + 1].data(), static_cast<int>(leaves[2 * i + 1].size()));
            leaves[i] = h.final();
        }
        leaves.resize(leaves.size() / 2);
    }
    return leaves.front();
}

int NextPowerOfTwo(uint64_t n) {
    int p = 1;
    while (static_cast<uint64_t>(p) < n) p *= 2;
    return p;
}

}  // namespace

int ChoosePieceSize(uint64_t size) {
    uint64_t piece = kMinChosenPiece;
    while (piece < static_cast<uint64_t>(kMaxChosenPiece) && (size + piece - 1) / piece > kMaxChosenPieces) piece *= 2;
    return static_cast<int>(piece);
}

bool CheckWebSeedUrl(const std::string& url, std::string& why) {
    std::string scheme;
    if (!SplitUrl(url, scheme, false, why)) return false;
    if (scheme == "https") {
        why = "is https: the launcher's BitTorrent part has no TLS and would never use it (serve the installer "
              "over http as well; the piece hashes protect it)";
        return false;
    }
    if (scheme != "http") {
        why = "is not an http:// URL";
        return false;
    }
    return true;
}

bool CheckTrackerUrl(const std::string& url, std::string& why) {
    std::string scheme;
    if (!SplitUrl(url, scheme, Lower(url.substr(0, 6)) == "udp://", why)) return false;
    if (scheme == "https") {
        why = "is https: the launcher's BitTorrent part has no TLS and would never reach it (use http:// or udp://)";
        return false;
    }
    if (scheme != "http" && scheme != "udp") {
        why = "is neither an http:// nor a udp:// URL";
        return false;
    }
    return true;
}

bool CheckPieceKib(long long kib, std::string& why) {
    if (kib < kMinPieceKib || kib > kMaxPieceKib || (kib & (kib - 1)) != 0) {
        why = "a piece size is a power of two from " + std::to_string(kMinPieceKib) + " to " +
              std::to_string(kMaxPieceKib) + " KiB";
        return false;
    }
    return true;
}

bool MakeTorrent(const TorrentRequest& request, MadeTorrent& made, std::string& error, const HashProgress& progress) {
    const std::string shown = Narrow(request.installer);
    std::string why;
    for (const std::string& url : request.webSeeds) {
        if (!CheckWebSeedUrl(url, why)) {
            error = "the web seed " + url + " " + why;
            return false;
        }
    }
    for (const std::string& url : request.trackers) {
        if (!CheckTrackerUrl(url, why)) {
            error = "the tracker " + url + " " + why;
            return false;
        }
    }
    if (request.pieceSize != 0 && !CheckPieceKib(request.pieceSize / 1024, why)) {
        error = why;
        return false;
    }

    const DWORD attributes = ::GetFileAttributesW(request.installer.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = shown + " is a folder: a torrent here holds one installer file";
        return false;
    }
    UniqueKernelHandle file(::CreateFileW(request.installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        error = "cannot read " + shown + " (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(file.get(), &length)) {
        error = "cannot read the size of " + shown;
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(length.QuadPart);
    if (size == 0) {
        error = shown + " is empty";
        return false;
    }
    std::string name;
    if (!NameOf(request.installer, name)) {
        error = shown + " has a name that is not valid Unicode";
        return false;
    }

    const int pieceSize = request.pieceSize ? request.pieceSize : ChoosePieceSize(size);
    try {
        lt::file_storage files;
        files.add_file(name, static_cast<std::int64_t>(size));
        lt::create_torrent ct(files, pieceSize, request.hybrid ? lt::create_flags_t{} : lt::create_torrent::v1_only);
        const int pieces = ct.num_pieces();
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(pieceSize)]);
        if (!buffer) {
            error = "no memory for a piece of " + std::to_string(pieceSize) + " bytes";
            return false;
        }
        const int leavesPerPiece = size < static_cast<uint64_t>(pieceSize)
                                       ? NextPowerOfTwo((size + kBlock - 1) / kBlock)
                                       : pieceSize / kBlock;
        uint64_t done = 0;
        for (int p = 0; p < pieces; ++p) {
            const DWORD n = static_cast<DWORD>(std::min<uint64_t>(static_cast<uint64_t>(pieceSize), size - done));
            if (!ReadFully(file.get(), buffer.get(), n)) {
                error = "cannot read " + shown + " at byte " + std::to_string(done) + " (error " +
                        std::to_string(::GetLastError()) + "; did it change while it was read?)";
                return false;
            }
            Sha1 sha1;
            sha1.Update(buffer.get(), n);
            ct.set_hash(lt::piece_index_t(p), sha1.Final());
            if (request.hybrid) {
                std::vector<lt::sha256_hash> leaves(static_cast<size_t>(leavesPerPiece));
                for (DWORD off = 0, i = 0; off < n; off += kBlock, ++i)
                    leaves[i] = lt::hasher256(buffer.get() + off, static_cast<int>(std::min<DWORD>(kBlock, n - off))).final();
                ct.set_hash2(lt::file_index_t(0), lt::piece_index_t::diff_type(p), MerkleRoot(std::move(leaves)));
            }
            done += n;
            if (progress) progress(done, size);
        }
        char extra = 0;
        DWORD got = 0;
        if (::ReadFile(file.get(), &extra, 1, &got, nullptr) && got != 0) {
            error = shown + " grew while it was read";
            return false;
        }

        for (size_t i = 0; i < request.trackers.size(); ++i) ct.add_tracker(request.trackers[i], static_cast<int>(i));
        for (const std::string& url : request.webSeeds) ct.add_url_seed(url);
        ct.set_creator("ndnpack (Mirel Online)");

        std::string metainfo;
        lt::bencode(std::back_inserter(metainfo), ct.generate());
        // What is handed out must read back as the torrent just made.
        lt::error_code ec;
        lt::torrent_info check(lt::span<char const>(metainfo.data(), static_cast<std::ptrdiff_t>(metainfo.size())),
                               ec, lt::from_span);
        if (ec || check.num_pieces() != pieces || check.total_size() != static_cast<std::int64_t>(size)) {
            error = "the torrent made does not read back" + (ec ? ": " + ec.message() : std::string());
            return false;
        }
        const lt::info_hash_t hashes = check.info_hashes();
        made.metainfo.swap(metainfo);
        made.name = name;
        made.size = size;
        made.pieceSize = pieceSize;
        made.pieces = pieces;
        made.infoHashV1 = Hex(hashes.v1.data(), hashes.v1.size());
        made.infoHashV2 = hashes.has_v2() ? Hex(hashes.v2.data(), hashes.v2.size()) : std::string();
        return true;
    } catch (const std::exception& e) {
        error = std::string("libtorrent cannot make the torrent: ") + e.what();
        return false;
    }
}
