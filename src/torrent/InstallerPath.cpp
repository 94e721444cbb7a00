#include "torrent/InstallerPath.h"

#include <shellapi.h>

#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include "common/CodePage.h"
#include "common/FilePaths.h"

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder) {
    std::wstring full = FullPath(path);
    std::wstring base = FullPath(folder);
    if (full.empty() || base.empty()) return false;
    if (base.back() != L'\\') base += L'\\';
    if (full.size() <= base.size()) return false;
    const int len = static_cast<int>(base.size());
    if (::CompareStringOrdinal(full.c_str(), len, base.c_str(), len, TRUE) != CSTR_EQUAL) return false;
    // Nothing below the folder may climb back or start a second root.
    return full[base.size()] != L'\\';
}

bool ContentPath(const lt::torrent_handle& handle, const std::wstring& folder, std::wstring& out) {
    out.clear();
    std::shared_ptr<const lt::torrent_info> ti = handle.torrent_file();
    if (!ti || !ti->is_valid()) return false;
    const lt::file_storage& fs = ti->files();
    if (fs.num_files() <= 0) return false;
    // One file is opened as itself; several as the torrent's folder.
    const std::string relative = fs.num_files() == 1 ? fs.file_path(lt::file_index_t{0}) : fs.name();
    const std::string savePath = handle.status(lt::torrent_handle::query_save_path).save_path;

    std::wstring base, rel;
    if (!Utf8ToWide(savePath, base) || !Utf8ToWide(relative, rel) || base.empty() || rel.empty()) return false;
    std::wstring path = base;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += rel;
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    if (!IsInsideFolder(path, folder)) return false;
    out = FullPath(path);
    return !out.empty();
}

std::wstring ShellPath(const std::wstring& path) { return path.size() >= MAX_PATH ? ExtendedPath(path) : path; }

bool ShellOpen(const std::wstring& path) {
    const std::wstring file = ShellPath(path);
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    // No asynchronous start: once the call returns, the program's process exists (and holds
    // its own image), so the caller may let its hold on the file go.
    sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC | SEE_MASK_NOCLOSEPROCESS;
    sei.lpVerb = L"open";
    sei.lpFile = file.c_str();
    sei.nShow = SW_SHOW;
    const bool opened = ::ShellExecuteExW(&sei) && reinterpret_cast<INT_PTR>(sei.hInstApp) > 32;
    if (sei.hProcess) ::CloseHandle(sei.hProcess);
    return opened;
}
