#include "torrent/TorrentAddition.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <set>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/torrent_info.hpp>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "common/FilePaths.h"
#include "common/WholeFile.h"
#include "framework/handles.h"
#include "launcher/FolderTrust.h"
#include "torrent/LibraryPath.h"
#include "torrent/TorrentSession.h"
#include "launcher/LaunchConfig.h"

namespace {

const char kTorrentMark[] = ".ndn";
const wchar_t kResumeSuffix[] = L".resume";

// Resume data for a torrent, or nothing when the file is missing, unreadable, not valid
// resume data or made for another torrent. Whoever can write the download folder can write
// this file, so it is a hint and no more: its claims that pieces are there (and checked) are
// dropped, so the library hashes what is on disk, and so are its file names, priorities,
// flags, trackers, web seeds and peers, which could move, stop or redirect the download.
// What is taken are its counters and times.
bool LoadResumeData(const std::wstring& path, const lt::torrent_info& ti, lt::add_torrent_params& atp) {
    std::vector<char> buffer;
    if (!ReadWholeFileW(path, buffer) || buffer.empty()) return false;
    lt::error_code ec;
    lt::add_torrent_params resumed = lt::read_resume_data(buffer, ec);
    if (ec) return false;
    if (resumed.info_hashes.has_v1() && resumed.info_hashes.v1 != ti.info_hashes().v1) return false;
    if (resumed.info_hashes.has_v2() && ti.info_hashes().has_v2() && resumed.info_hashes.v2 != ti.info_hashes().v2)
        return false;
    lt::add_torrent_params hint;
    hint.total_uploaded = resumed.total_uploaded;
    hint.total_downloaded = resumed.total_downloaded;
    hint.active_time = resumed.active_time;
    hint.finished_time = resumed.finished_time;
    hint.seeding_time = resumed.seeding_time;
    hint.added_time = resumed.added_time;
    hint.completed_time = resumed.completed_time;
    hint.last_seen_complete = resumed.last_seen_complete;
    hint.last_download = resumed.last_download;
    hint.last_upload = resumed.last_upload;
    hint.num_complete = resumed.num_complete;
    hint.num_incomplete = resumed.num_incomplete;
    hint.num_downloaded = resumed.num_downloaded;
    atp = std::move(hint);
    return true;
}

// Names Windows takes for a device in every folder, with or without an extension: a file of
// that name would be the device, not a file in the download folder. The digits of COM and LPT
// include 0 and the superscripts one to three, which some systems take as devices too.
bool IsDeviceName(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
    for (char& c : base)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const char* device : {"con", "nul", "aux", "prn", "conin$", "conout$", "clock$"})
        if (base == device) return true;
    if (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0) return false;
    const std::string number = base.substr(3);
    if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
    // Superscript one, two and three in UTF-8.
    return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

// Why the files a torrent names cannot be stored in the folder, or null when they can: a
// component that is a device name, or a link (junction, symbolic link) already standing where a
// file or folder of the torrent goes. Links are never followed.
const char* UnsafeTorrentPaths(const lt::torrent_info& ti, const std::wstring& folder) {
    const lt::file_storage& fs = ti.files();
    for (lt::file_index_t i : fs.file_range()) {
        std::string path = fs.file_path(i);
        std::wstring wide = FullPath(folder);
        if (wide.empty()) return "a folder whose path cannot be formed";
        size_t start = 0;
        bool exists = true;
        while (start <= path.size()) {
            size_t end = path.find_first_of("/\\", start);
            if (end == std::string::npos) end = path.size();
            const std::string component = path.substr(start, end - start);
            start = end + 1;
            if (component.empty()) continue;
            if (IsDeviceName(component)) return "a file named like a device";
            std::wstring wideComponent;
            if (!exists || !Utf8ToWide(component, wideComponent)) continue;
            if (wide.back() != L'\\') wide += L'\\';
            wide += wideComponent;
            const DWORD attributes = ::GetFileAttributesW(ExtendedPath(wide).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) exists = false;
            else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a link where its files go";
        }
    }
    return nullptr;
}

// The names a torrent's files take in the folder as Windows compares them (final paths, where
// they exist: a short 8.3 alias of a file there and a link are followed to the file they name;
// in upper case), and the folders above them. `clash`: two of its own files are one file for
// Windows (names that differ only in case beyond ASCII, or a name and an alias of it), a file
// stands where a folder of it goes, or a name leads out of the folder.
struct TorrentNames {
    std::set<std::wstring> files, folders;
    bool clash = false;
};

std::wstring UpperCase(const std::wstring& text) {
    if (text.empty()) return text;
    std::wstring out(text.size(), L'\0');
    const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                                  &out[0], static_cast<int>(out.size()), nullptr, nullptr, 0);
    if (n <= 0) return text;
    out.resize(static_cast<size_t>(n));
    return out;
}

TorrentNames NamesOf(const lt::torrent_info& ti, const std::wstring& folder) {
    TorrentNames names;
    const std::wstring written = WithoutTrailingSeparators(FullPath(folder));
    std::wstring base = UpperCase(ResolvedPath(written));
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    const lt::file_storage& fs = ti.files();
    for (lt::file_index_t i : fs.file_range()) {
        if (fs.pad_file_at(i)) continue;
        std::wstring path;
        if (!Utf8ToWide(fs.file_path(i), path)) {
            names.clash = true;
            continue;
        }
        for (wchar_t& c : path)
            if (c == L'/') c = L'\\';
        path = UpperCase(ResolvedPath(written + L"\\" + path));
        if (path.size() <= base.size() || path.compare(0, base.size(), base) != 0) {
            names.clash = true;
            continue;
        }
        if (!names.files.insert(path).second) names.clash = true;
        for (size_t at = path.find(L'\\', base.size()); at != std::wstring::npos; at = path.find(L'\\', at + 1))
            names.folders.insert(path.substr(0, at));
    }
    for (const std::wstring& file : names.files)
        if (names.folders.count(file)) names.clash = true;
    return names;
}

// True when a file of one torrent is a file or a folder of the other.
bool Overlap(const TorrentNames& a, const TorrentNames& b) {
    for (const std::wstring& file : a.files)
        if (b.files.count(file) || b.folders.count(file)) return true;
    for (const std::wstring& file : b.files)
        if (a.folders.count(file)) return true;
    return false;
}

// How long the window's thread waits for a replaced torrent to be gone from the session.
constexpr DWORD kReplaceWaitMs = 10000;

// Removes a torrent from the session and its entries.
void RemoveTorrent(TorrentSession& ses, const lt::torrent_handle& handle) {
    {
        std::lock_guard<std::mutex> lock(ses.handlesLock);
        for (auto it = ses.handles.begin(); it != ses.handles.end();)
            it = it->second == handle ? ses.handles.erase(it) : std::next(it);
    }
    ses.session->remove_torrent(handle);
    // Gone once nothing holds the torrent any more: its files are closed, so nothing of it
    // writes where the new one does.
    const DWORD start = ::GetTickCount();
    while (handle.is_valid() && ::GetTickCount() - start < kReplaceWaitMs) ::Sleep(5);
    if (handle.is_valid()) DiagnosticLine(stderr, "the replaced torrent is still in the session\n");
}

}  // namespace

// The folder is listed by its path: the process's current directory, which the session's
// bare file names refer to, is never changed.
std::vector<std::string> FindTorrentFiles(const std::string& downloadDir, bool signedOnly, bool descriptionChecked) {
    std::vector<std::string> found;
    std::string folder = downloadDir;
    if (folder.empty()) return found;
    if (folder.back() != '\\') folder += '\\';

    WIN32_FIND_DATAA entry;
    UniqueFindHandle find(::FindFirstFileA((folder + "*").c_str(), &entry));
    if (!find) return found;

    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) continue;
        if (!IsTorrentFileName(entry.cFileName)) continue;
        const std::string path = folder + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            DiagnosticLine(stderr, "%s: not added, a link\n", path.c_str());
            continue;
        }
        if (signedOnly && !(descriptionChecked && IsMainTorrentKey(path))) {
            DiagnosticLine(stderr, "%s: not added, no signature checked in this run\n", path.c_str());
            continue;
        }
        found.push_back(path);
    } while (::FindNextFileA(find.get(), &entry));
    return found;
}

bool IsTorrentFileName(const std::string& name) {
    const size_t n = sizeof(kTorrentMark) - 1;
    return name.size() > n && name.compare(name.size() - n, n, kTorrentMark) == 0;
}

bool IsMainTorrentKey(const std::string& key) {
    const size_t slash = key.find_last_of("\\/");
    const std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
    // Exactly the name the launcher writes: where case counts, a "mirel.ndn" beside it is
    // another file, never the description this run fetched and checked.
    return name == "Mirel.ndn";
}

bool AddTorrent(TorrentSession& ses, const std::string& strTorrentFile, const LaunchConfig& config,
                const std::string* content) {
    const std::string& savePath = config.downloadDir;
    try {
        lt::error_code ec;
        auto ti = content ? std::make_shared<lt::torrent_info>(
                                lt::span<const char>(content->data(), static_cast<std::ptrdiff_t>(content->size())), ec,
                                lt::from_span)
                          : std::make_shared<lt::torrent_info>(ToLibraryPath(strTorrentFile), ec);
        if (ec) {
            DiagnosticLine(stderr, "%s: %s\n", strTorrentFile.c_str(), ec.message().c_str());
            return false;
        }
        const std::string name = Utf8ToAnsi(ti->name());
        if (const char* why = UnsafeTorrentPaths(*ti, AnsiToWide(savePath))) {
            DiagnosticLine(stderr, "%s: not added, %s\n", strTorrentFile.c_str(), why);
            return false;
        }
        // One main torrent at a time, and no two torrents writing one file. The main torrent
        // wins: a new description replaces the earlier one, and any other torrent whose files
        // are its files, as Windows compares names, is removed (all before the new one is
        // added); another torrent whose files are those of one in the session is not added.
        const TorrentNames names = NamesOf(*ti, AnsiToWide(savePath));
        if (names.clash) {
            DiagnosticLine(stderr, "%s: not added, two of its files are one file for Windows\n",
                              strTorrentFile.c_str());
            return false;
        }
        const bool isMain = IsMainTorrentKey(strTorrentFile);
        std::vector<lt::torrent_handle> replaced;
        {
            std::lock_guard<std::mutex> lock(ses.handlesLock);
            for (const auto& entry : ses.handles) {
                if (!entry.second.is_valid()) continue;
                std::shared_ptr<const lt::torrent_info> other = entry.second.torrent_file();
                if (!other || other->info_hashes() == ti->info_hashes()) continue;  // the same torrent
                const bool overlap = Overlap(names, NamesOf(*other, AnsiToWide(savePath)));
                if (isMain && (IsMainTorrentKey(entry.first) || overlap)) {
                    if (overlap && !IsMainTorrentKey(entry.first))
                        DiagnosticLine(stderr, "%s: removed, its files are those of %s\n", entry.first.c_str(),
                                       strTorrentFile.c_str());
                    replaced.push_back(entry.second);
                } else if (overlap) {
                    DiagnosticLine(stderr, "%s: not added, its files are those of %s\n", strTorrentFile.c_str(),
                                      entry.first.c_str());
                    return false;
                }
            }
        }
        for (const lt::torrent_handle& old : replaced) RemoveTorrent(ses, old);
        DiagnosticLine(stdout, "%s\n", name.c_str());

        lt::add_torrent_params atp;
        std::wstring wideName;
        if (Utf8ToWide(ti->name(), wideName))
            LoadResumeData(AnsiToWide(savePath) + wideName + kResumeSuffix, *ti, atp);
        atp.ti = ti;
        atp.save_path = ToLibraryPath(savePath);
        atp.storage_mode = static_cast<lt::storage_mode_t>(config.storageMode);
        atp.flags |= lt::torrent_flags::paused | lt::torrent_flags::auto_managed;
        atp.flags &= ~(lt::torrent_flags::duplicate_is_error | lt::torrent_flags::seed_mode |
                       lt::torrent_flags::upload_mode);

        lt::torrent_handle handle = ses.session->add_torrent(std::move(atp), ec);
        if (ec) {
            DiagnosticLine(stderr, "failed to add torrent: %s\n", ec.message().c_str());
            return false;
        }
        {
            // A file added again (on a later run) that gives the same torrent is one entry.
            std::lock_guard<std::mutex> lock(ses.handlesLock);
            auto same = ses.handles.equal_range(strTorrentFile);
            bool known = false;
            for (auto it = same.first; it != same.second && !known; ++it) known = it->second == handle;
            if (!known) ses.handles.emplace(strTorrentFile, handle);
        }

        handle.set_max_connections(config.maxConnectionsPerTorrent);
        handle.set_max_uploads(-1);
        handle.set_upload_limit(config.uploadLimit);
        handle.set_download_limit(config.downloadLimit);
        return true;
    } catch (const std::exception& e) {
        DiagnosticLine(stderr, "failed to add torrent: %s\n", e.what());
        return false;
    }
}

