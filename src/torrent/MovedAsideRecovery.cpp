#include "torrent/MovedAsideRecovery.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <exception>
#include <vector>

#include <libtorrent/torrent_info.hpp>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "common/FilePaths.h"
#include "framework/handles.h"
#include "launcher/DownloadFolder.h"
#include "launcher/FolderTrust.h"
#include "torrent/LibraryPath.h"

namespace {

constexpr DWORD kBlock = 1 << 20;

// Always the extended form: a name that Windows takes for a device elsewhere ("con", "lpt1")
// is then a file like any other, and no ".." is looked up.
std::wstring Literal(const std::wstring& path) {
    const std::wstring full = FullPath(path);
    if (full.size() > 2 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    return ExtendedPath(full);
}

// An aside file opened for reading as itself: a plain file (never a link), found where its name
// says. `removable`: opened so that nobody can write it meanwhile, with the right to remove it.
struct AsideFile {
    UniqueKernelHandle h;
    std::int64_t size = 0;
    bool removable = false;
    bool oneName = false;
};

bool OpenAside(const std::wstring& path, AsideFile& f) {
    const std::wstring opened = Literal(path);
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
    f.h.reset(::CreateFileW(opened.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags,
                            nullptr));
    f.removable = static_cast<bool>(f.h);
    if (!f.h)
        f.h.reset(::CreateFileW(opened.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, flags, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!f.h || !::GetFileInformationByHandle(f.h.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !FinalPathIs(f.h.get(), path))
        return false;
    f.size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    f.oneName = info.nNumberOfLinks <= 1;
    return true;
}

bool Remove(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof(dispose)) != FALSE;
}

bool ReadFull(HANDLE h, char* buffer, DWORD n) {
    DWORD got = 0;
    return ::ReadFile(h, buffer, n, &got, nullptr) && got == n;
}

// True when the two files hold the same bytes (both read from their starts).
bool SameBytes(HANDLE a, HANDLE b, std::int64_t size) {
    std::vector<char> x(kBlock), y(kBlock);
    for (std::int64_t left = size; left > 0;) {
        const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(left, kBlock));
        if (!ReadFull(a, x.data(), n) || !ReadFull(b, y.data(), n) || std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        left -= n;
    }
    return true;
}

// The launcher's own small files at the top of the aside folder: the lock and descriptions
// identical to the fresh folder's go; a resume hint the fresh folder lacks is carried over (it
// is only ever read as a hint) and then goes too.
void TidyOwnFiles(const std::wstring& aside, const std::wstring& folder, Recovery& result) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileExW(ExtendedPath(aside + L"\\*").c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0));
    if (!find) return;
    std::vector<std::wstring> names;
    do {
        if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            names.push_back(entry.cFileName);
    } while (::FindNextFileW(find.get(), &entry));
    for (const std::wstring& name : names) {
        const bool lock = ::CompareStringOrdinal(name.c_str(), -1, kFolderLockNameW, -1, TRUE) == CSTR_EQUAL;
        const bool resume = name.size() > 7 && name.compare(name.size() - 7, 7, L".resume") == 0;
        const bool description = name.find(L".ndn") != std::wstring::npos && !resume;
        if (!lock && !resume && !description) continue;
        AsideFile from;
        if (!OpenAside(aside + L"\\" + name, from) || !from.removable || !from.oneName || from.size > (64 << 20))
            continue;
        const std::wstring to = Literal(folder + L"\\" + name);
        UniqueKernelHandle fresh(::CreateFileW(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!fresh && resume) {
            // Carried over: written whole into a new file of the fresh folder, then compared.
            UniqueKernelHandle made(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
            std::vector<char> data(static_cast<size_t>(from.size));
            DWORD written = 0;
            if (!made || (from.size > 0 && (!ReadFull(from.h.get(), data.data(), static_cast<DWORD>(from.size)) ||
                                            !::WriteFile(made.get(), data.data(), static_cast<DWORD>(from.size),
                                                         &written, nullptr) ||
                                            written != from.size)))
                continue;
            made.reset();
            ::SetFilePointer(from.h.get(), 0, nullptr, FILE_BEGIN);
            fresh.reset(::CreateFileW(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        }
        LARGE_INTEGER freshSize{};
        if (!fresh || !::GetFileSizeEx(fresh.get(), &freshSize) || freshSize.QuadPart != from.size ||
            !SameBytes(from.h.get(), fresh.get(), from.size))
            continue;
        if (Remove(from.h.get())) ++result.copiesRemoved;
    }
}

// Removes `path` when it is an empty plain folder. True when it went.
bool RemoveIfEmpty(const std::wstring& path) {
    if (!IsEmptyFolder(path)) return false;
    const std::string ansi = WideToAnsi(path);
    UniqueKernelHandle h(OpenFolderHeld(ansi, DELETE));
    return h && IsPlainFolder(h.get(), ansi) && Remove(h.get());
}

}  // namespace

Recovery RecoverFromMovedAside(const std::string& torrentFile, const std::wstring& aside, const std::wstring& folder,
                               const std::function<bool(std::int64_t done, std::int64_t total)>& progress) {
    Recovery result;
    std::shared_ptr<lt::torrent_info> ti;
    try {
        lt::error_code ec;
        ti = std::make_shared<lt::torrent_info>(ToLibraryPath(torrentFile), ec);
        if (ec) return result;
    } catch (const std::exception&) {
        return result;
    }
    const std::wstring from = WithoutTrailingSeparators(aside), to = WithoutTrailingSeparators(folder);
    const lt::file_storage& fs = ti->files();

    // What there is to copy, before any copying, for the progress.
    struct Pending {
        std::wstring rel;
        std::int64_t wanted;
    };
    std::vector<Pending> pending;
    std::int64_t total = 0;
    for (lt::file_index_t i : fs.file_range()) {
        if (fs.pad_file_at(i)) continue;
        std::wstring rel;
        if (!Utf8ToWide(fs.file_path(i), rel)) continue;
        std::replace(rel.begin(), rel.end(), L'/', L'\\');
        const DWORD there = ::GetFileAttributesW(Literal(to + L"\\" + rel).c_str());
        if (there != INVALID_FILE_ATTRIBUTES) continue;  // the fresh folder has it: left alone
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(Literal(from + L"\\" + rel).c_str(), GetFileExInfoStandard, &data)) continue;
        const std::int64_t size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        pending.push_back({rel, fs.file_size(i)});
        total += std::min(size, fs.file_size(i));
    }

    std::vector<char> buffer(kBlock);
    std::int64_t done = 0;
    bool stopped = false;
    for (const Pending& file : pending) {
        if (stopped) break;
        AsideFile source;
        if (!OpenAside(from + L"\\" + file.rel, source)) continue;
        const std::wstring target = Literal(to + L"\\" + file.rel);
        if (!CreateParents(target)) continue;
        UniqueKernelHandle copy(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!copy) continue;
        const std::int64_t length = std::min(source.size, file.wanted);
        std::int64_t copied = 0;
        while (copied < length) {
            const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(length - copied, kBlock));
            DWORD written = 0;
            if (!ReadFull(source.h.get(), buffer.data(), n) ||
                !::WriteFile(copy.get(), buffer.data(), n, &written, nullptr) || written != n)
                break;
            copied += n;
            done += n;
            if (progress && !progress(done, total)) {
                stopped = true;
                break;
            }
        }
        ++result.filesCopied;
        result.bytesCopied += copied;
        // Read whole while nobody could write it: its bytes are all in the fresh folder now.
        if (copied == source.size && source.removable && source.oneName && Remove(source.h.get()))
            ++result.copiesRemoved;
    }
    if (result.filesCopied > 0)
        DiagnosticLine(stderr, "%s: %d files of the download (%lld bytes) read back for the piece hashes to judge\n",
                       WideToAnsi(from).c_str(), result.filesCopied, static_cast<long long>(result.bytesCopied));
    if (stopped) return result;

    TidyOwnFiles(from, to, result);
    // Folders the copies left empty, deepest first, then the moved-aside folder itself, and the
    // one that holds it when that is the moved-aside folder and nothing else is left in it.
    std::vector<std::wstring> folders;
    for (const Pending& file : pending)
        for (size_t at = file.rel.find(L'\\'); at != std::wstring::npos; at = file.rel.find(L'\\', at + 1))
            folders.push_back(from + L"\\" + file.rel.substr(0, at));
    std::sort(folders.begin(), folders.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.size() > b.size();
    });
    for (const std::wstring& f : folders) RemoveIfEmpty(f);
    if (RemoveIfEmpty(from)) {
        result.asideRemoved = true;
        const std::wstring above = from.substr(0, from.find_last_of(L'\\'));
        const std::wstring aboveName = above.substr(above.find_last_of(L'\\') + 1);
        if (aboveName.size() > 14 && aboveName.compare(aboveName.size() - 14, 14, L" (moved aside)") == 0)
            RemoveIfEmpty(above);
    }
    return result;
}
