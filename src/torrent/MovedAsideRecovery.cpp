#include "torrent/MovedAsideRecovery.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <exception>
#include <map>
#include <set>
#include <vector>

#include <libtorrent/torrent_info.hpp>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "common/FilePaths.h"
#include "framework/handles.h"
#include "launcher/DownloadFolder.h"
#include "launcher/FolderTrust.h"
#include "torrent/Sha1.h"

namespace {

constexpr DWORD kBlock = 1 << 20;
// Aside copies held open, each until its pieces are judged: the game's torrent has a few files.
constexpr size_t kMaxHeldCopies = 256;

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

bool ReadAt(HANDLE h, std::int64_t offset, char* buffer, DWORD n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ::ReadFile(h, buffer, n, &got, &at) && got == n;
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

bool EndsWith(const std::wstring& name, const wchar_t* suffix) {
    const size_t n = std::wcslen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
}

// The launcher's own small files at the top of the aside folder: the lock and descriptions (names
// ending in ".ndn") identical to the fresh folder's go. Only names the fresh folder has are looked
// at (however many files the aside folder holds), and nothing is carried over: what the fresh
// folder lacks is not the launcher's to take from a folder others could write.
void TidyOwnFiles(const std::wstring& aside, const std::wstring& folder, Recovery& result) {
    UniqueKernelHandle fresh(OpenFolderHeld(folder));
    if (!fresh) return;
    std::vector<std::wstring> names;
    ListFolder(fresh.get(), [&](const std::wstring& name, DWORD attributes) {
        const bool lock = ::CompareStringOrdinal(name.c_str(), -1, kFolderLockNameW, -1, TRUE) == CSTR_EQUAL;
        const bool plain = !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        if (plain && (lock || EndsWith(name, L".ndn"))) names.push_back(name);
        return true;
    });
    for (const std::wstring& name : names) {
        AsideFile from;
        if (!OpenAside(aside + L"\\" + name, from) || !from.removable || !from.oneName || from.size > (64 << 20))
            continue;
        UniqueKernelHandle mine(::CreateFileW(Literal(folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        LARGE_INTEGER size{};
        if (!mine || !::GetFileSizeEx(mine.get(), &size) || size.QuadPart != from.size ||
            !SameBytes(from.h.get(), mine.get(), from.size))
            continue;
        if (Remove(from.h.get())) ++result.copiesRemoved;
    }
}

// Removes the folder at `path` when it is an empty plain folder, through handles: the folder
// above is held and must be where its path says (no junction or link anywhere on the way), and
// the folder is opened through it as itself, with the right to remove it, and listed through
// that handle. True when it went.
bool RemoveIfEmpty(const std::wstring& path) {
    const std::wstring full = WithoutTrailingSeparators(FullPath(path));
    const size_t slash = full.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= full.size()) return false;
    const std::wstring above = WithoutTrailingSeparators(full.substr(0, slash + 1));
    UniqueKernelHandle parent(OpenFolderHeld(above));
    if (!parent || !IsPlainFolder(parent.get(), above) || !FinalPathIs(parent.get(), above)) return false;
    UniqueKernelHandle h = OpenInFolder(parent.get(), full.substr(slash + 1), kFolderHoldAccess | DELETE,
                                        kFolderHoldSharing, kNtOpen, kNtDirectory | kNtOpenReparsePoint);
    BY_HANDLE_FILE_INFORMATION info{};
    return h && ::GetFileInformationByHandle(h.get(), &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsEmptyHeldFolder(h.get()) && Remove(h.get());
}

// A file of the torrent read back: what the copy of it in the fresh folder came from.
struct Copied {
    lt::file_index_t index;
    std::wstring rel;
    std::int64_t length = 0;  // bytes copied, from the start of the file
    AsideFile source;         // held until its pieces are judged
};

// The pieces of the torrent whose bytes lie (at least in part) in the first `length` bytes of
// file `i`.
std::pair<int, int> PiecesOf(const lt::file_storage& fs, lt::file_index_t i, std::int64_t length) {
    if (length <= 0) return {0, -1};
    const int first = static_cast<int>(fs.map_file(i, 0, 1).piece);
    const int last = static_cast<int>(fs.map_file(i, length - 1, 1).piece);
    return {first, last};
}

// The piece hashes, judged in the fresh folder: for each piece, whether its bytes there pass,
// and for each file, the pieces that did not pass whose part in it holds anything but zeros.
class PieceJudge {
public:
    PieceJudge(const lt::torrent_info& ti, const std::wstring& folder) : m_ti(ti), m_folder(folder) {}

    // False when the progress said stop.
    bool Judge(int piece, const std::function<bool(std::int64_t)>& advanced) {
        const lt::file_storage& fs = m_ti.files();
        const int size = m_ti.piece_size(lt::piece_index_t(piece));
        std::vector<char> bytes(static_cast<size_t>(size), '\0');
        bool readable = true;
        for (const lt::file_slice& slice : fs.map_block(lt::piece_index_t(piece), 0, size)) {
            if (fs.pad_file_at(slice.file_index)) continue;  // zeros
            const std::int64_t into = fs.file_offset(slice.file_index) + slice.offset -
                                      static_cast<std::int64_t>(piece) * m_ti.piece_length();
            HANDLE h = File(slice.file_index);
            if (!h || !ReadAt(h, slice.offset, bytes.data() + into, static_cast<DWORD>(slice.size))) {
                // Not there whole: nothing of it is taken for zeros.
                readable = false;
                m_notZero.insert({static_cast<int>(slice.file_index), piece});
                continue;
            }
            for (std::int64_t b = 0; b < slice.size; ++b)
                if (bytes[static_cast<size_t>(into + b)] != 0) {
                    m_notZero.insert({static_cast<int>(slice.file_index), piece});
                    break;
                }
        }
        if (readable && m_ti.info_hashes().has_v1()) {
            Sha1 sha;
            sha.Update(bytes.data(), bytes.size());
            if (sha.Final() == m_ti.hash_for_piece(lt::piece_index_t(piece))) m_passed.insert(piece);
        }
        return advanced(size);
    }

    // True when every piece of the first `length` bytes of file `i` passed, or holds nothing
    // but zeros in that file (a part that was never written, in a sparse file).
    bool Proven(lt::file_index_t i, std::int64_t length) const {
        const std::pair<int, int> pieces = PiecesOf(m_ti.files(), i, length);
        for (int p = pieces.first; p <= pieces.second; ++p)
            if (!m_passed.count(p) && m_notZero.count({static_cast<int>(i), p})) return false;
        return true;
    }

private:
    HANDLE File(lt::file_index_t i) {
        auto it = m_files.find(static_cast<int>(i));
        if (it != m_files.end()) return it->second.get();
        std::wstring rel;
        UniqueKernelHandle h;
        if (Utf8ToWide(m_ti.files().file_path(i), rel)) {
            std::replace(rel.begin(), rel.end(), L'/', L'\\');
            h.reset(::CreateFileW(Literal(m_folder + L"\\" + rel).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        }
        HANDLE got = h.get();
        m_files.emplace(static_cast<int>(i), std::move(h));
        return got;
    }

    const lt::torrent_info& m_ti;
    const std::wstring m_folder;
    std::map<int, UniqueKernelHandle> m_files;
    std::set<int> m_passed;
    std::set<std::pair<int, int>> m_notZero;  // (file, piece)
};

}  // namespace

Recovery RecoverFromMovedAside(const std::string& description, const std::wstring& aside, const std::wstring& folder,
                               const std::function<bool(std::int64_t done, std::int64_t total)>& progress) {
    Recovery result;
    std::shared_ptr<lt::torrent_info> ti;
    try {
        lt::error_code ec;
        ti = std::make_shared<lt::torrent_info>(
            lt::span<const char>(description.data(), static_cast<std::ptrdiff_t>(description.size())), ec,
            lt::from_span);
        if (ec) return result;
    } catch (const std::exception&) {
        return result;
    }
    const std::wstring from = WithoutTrailingSeparators(aside), to = WithoutTrailingSeparators(folder);
    {
        UniqueKernelHandle held(OpenFolderHeld(from));
        result.asideFound = held && IsPlainFolder(held.get(), from) && FinalPathIs(held.get(), from);
    }
    if (!result.asideFound) return result;
    const lt::file_storage& fs = ti->files();

    // What there is to copy, and the pieces to judge after, before any copying, for the progress:
    // never more than the torrent's own files at their own sizes.
    struct Pending {
        lt::file_index_t index;
        std::wstring rel;
        std::int64_t wanted;
    };
    std::vector<Pending> pending;
    std::set<int> pieces;
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
        const std::int64_t length = std::min(size, fs.file_size(i));
        pending.push_back({i, rel, fs.file_size(i)});
        total += length;
        const std::pair<int, int> range = PiecesOf(fs, i, length);
        for (int p = range.first; p <= range.second; ++p) pieces.insert(p);
    }
    for (int p : pieces) total += ti->piece_size(lt::piece_index_t(p));

    std::vector<char> buffer(kBlock);
    std::int64_t done = 0;
    auto advanced = [&](std::int64_t n) {
        done += n;
        if (progress && !progress(std::min(done, total), total)) result.stopped = true;
        return !result.stopped;
    };
    std::vector<Copied> copied;
    for (const Pending& file : pending) {
        if (result.stopped) break;
        AsideFile source;
        if (!OpenAside(from + L"\\" + file.rel, source)) continue;
        const std::wstring target = Literal(to + L"\\" + file.rel);
        if (!CreateParents(target)) continue;
        UniqueKernelHandle copy(::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!copy) continue;
        const std::int64_t length = std::min(source.size, file.wanted);
        std::int64_t written = 0;
        while (written < length) {
            const DWORD n = static_cast<DWORD>(std::min<std::int64_t>(length - written, kBlock));
            DWORD put = 0;
            if (!ReadFull(source.h.get(), buffer.data(), n) ||
                !::WriteFile(copy.get(), buffer.data(), n, &put, nullptr) || put != n)
                break;
            written += n;
            if (!advanced(n)) break;
        }
        if (result.stopped && written < length) {
            // Cut short: the part copied goes (the aside copy is whole), and a later start copies
            // the file again.
            Remove(copy.get());
            break;
        }
        ++result.filesCopied;
        result.bytesCopied += written;
        // Read whole while nobody could write it: a candidate for removal once its pieces pass.
        if (written == source.size && source.removable && source.oneName && copied.size() < kMaxHeldCopies)
            copied.push_back({file.index, file.rel, written, std::move(source)});
    }
    if (result.filesCopied > 0)
        DiagnosticLine(stderr, "%s: %d files of the download (%lld bytes) read back for the piece hashes to judge\n",
                       WideToAnsi(from).c_str(), result.filesCopied, static_cast<long long>(result.bytesCopied));
    if (result.stopped) return result;

    // The pieces, hashed from the fresh folder: an aside copy goes only when what it held is
    // proven there.
    PieceJudge judge(*ti, to);
    for (int p : pieces)
        if (!judge.Judge(p, advanced)) return result;
    for (Copied& c : copied) {
        if (judge.Proven(c.index, c.length) && Remove(c.source.h.get())) ++result.copiesRemoved;
        c.source.h.reset();
    }
    const int kept = result.filesCopied - result.copiesRemoved;
    if (kept > 0)
        DiagnosticLine(stderr, "%s: %d files kept, not all of what they hold passed the piece hashes\n",
                       WideToAnsi(from).c_str(), kept);
    copied.clear();

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
