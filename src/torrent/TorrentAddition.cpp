// Finding the torrent files of the download folder and adding them to the session.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/torrent_info.hpp>

#include "torrent/TorrentSession.h"
#include "ui/MirelLauncherDlg.h"

namespace {

const char kTorrentMark[] = ".ndn";
const char kResumeSuffix[] = ".resume";

// Resume data for a torrent, or nothing when the file is missing, unreadable, not valid
// resume data or made for another torrent.
bool LoadResumeData(const std::string& path, const lt::torrent_info& ti, lt::add_torrent_params& atp) {
    std::vector<char> buffer;
    if (!ReadWholeFile(path, buffer) || buffer.empty()) return false;
    lt::error_code ec;
    lt::add_torrent_params resumed = lt::read_resume_data(buffer, ec);
    if (ec) return false;
    if (resumed.info_hashes.has_v1() && resumed.info_hashes.v1 != ti.info_hashes().v1) return false;
    if (resumed.info_hashes.has_v2() && ti.info_hashes().has_v2() && resumed.info_hashes.v2 != ti.info_hashes().v2)
        return false;
    atp = std::move(resumed);
    return true;
}

}  // namespace

void CMirelLauncherDlg::FindTorrentFiles() {
    char remembered[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, remembered);
    if (!::SetCurrentDirectoryA(m_szDownloadDir)) return;

    WIN32_FIND_DATAA entry;
    HANDLE find = ::FindFirstFileA("*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        ::SetCurrentDirectoryA(remembered);
        return;
    }

    std::string folder = m_szDownloadDir;
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) continue;
        if (std::strstr(entry.cFileName, kTorrentMark)) m_torrentFiles.push_back(folder + entry.cFileName);
    } while (::FindNextFileA(find, &entry));

    ::FindClose(find);
    ::SetCurrentDirectoryA(remembered);
}

void CMirelLauncherDlg::AddTorrent(TorrentSession& session, const std::string& strTorrentFile, float fRatio,
                                   int nStorageMode, const std::string& savePath, bool bKeyByPath, int nUploadLimit,
                                   int nDownloadLimit) {
    (void)fRatio;  // libtorrent 2.0 has no share ratio (see MakeSessionSettings)
    try {
        lt::error_code ec;
        auto ti = std::make_shared<lt::torrent_info>(ToLibraryPath(strTorrentFile), ec);
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", strTorrentFile.c_str(), ec.message().c_str());
            std::fflush(stderr);
            return;
        }
        const std::string name = Utf8ToAnsi(ti->name());
        std::printf("%s\n", name.c_str());
        std::fflush(stdout);

        lt::add_torrent_params atp;
        LoadResumeData(savePath + name + kResumeSuffix, *ti, atp);
        atp.ti = ti;
        atp.save_path = ToLibraryPath(savePath);
        atp.storage_mode = static_cast<lt::storage_mode_t>(nStorageMode);
        atp.flags |= lt::torrent_flags::paused | lt::torrent_flags::auto_managed;
        atp.flags &= ~(lt::torrent_flags::duplicate_is_error | lt::torrent_flags::seed_mode |
                       lt::torrent_flags::upload_mode);

        lt::torrent_handle handle = session.session->add_torrent(std::move(atp), ec);
        if (ec) {
            std::fprintf(stderr, "failed to add torrent: %s\n", ec.message().c_str());
            std::fflush(stderr);
            return;
        }
        session.handles.emplace(bKeyByPath ? strTorrentFile : std::string(), handle);

        handle.set_max_connections(m_nMaxConnectionsPerTorrent);
        handle.set_max_uploads(-1);
        handle.set_upload_limit(nUploadLimit);
        handle.set_download_limit(nDownloadLimit);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed to add torrent: %s\n", e.what());
        std::fflush(stderr);
    }
}
