#include "torrent/InstallerCheck.h"

#include <algorithm>
#include <cstring>

#include "common/CodePage.h"
#include "common/FilePaths.h"
#include "launcher/FolderTrust.h"
#include "torrent/InstallerPath.h"
#include "torrent/Sha1.h"

namespace {

// Read through one buffer of this size.
constexpr std::size_t kReadChunk = 1024 * 1024;

bool IsBusyError(DWORD e) { return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION; }

}  // namespace

InstallerCheck::Take InstallerCheck::Hold(std::shared_ptr<const lt::torrent_info> info, const std::wstring& savePath,
                                          HANDLE expected) {
    Release();
    if (!info || !info->is_valid() || info->num_files() <= 0) return Take::Failed;
    const lt::file_storage& fs = info->files();
    std::vector<UniqueKernelHandle> files(static_cast<std::size_t>(fs.num_files()));
    for (const lt::file_index_t i : fs.file_range()) {
        if (fs.pad_file_at(i)) continue;
        std::wstring relative;
        if (!Utf8ToWide(fs.file_path(i), relative) || relative.empty()) return Take::Failed;
        std::wstring path = savePath;
        if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
        path += relative;
        for (wchar_t& c : path)
            if (c == L'/') c = L'\\';
        if (!IsInsideFolder(path, savePath)) return Take::Failed;
        path = FullPath(path);
        // Read access and read sharing alone: nobody may write, rename or delete it while held.
        UniqueKernelHandle h(::CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                           nullptr));
        if (!h) return IsBusyError(::GetLastError()) ? Take::Busy : Take::Failed;
        BY_HANDLE_FILE_INFORMATION about{};
        if (!::GetFileInformationByHandle(h.get(), &about) ||
            (about.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
            !FinalPathIs(h.get(), path))
            return Take::Failed;
        if (expected != INVALID_HANDLE_VALUE && expected && fs.num_files() == 1 && !SameFile(h.get(), expected))
            return Take::Failed;
        files[static_cast<std::size_t>(static_cast<int>(i))] = std::move(h);
    }
    m_files = std::move(files);
    m_info = std::move(info);
    m_hashed = m_info->info_hashes().has_v1();
    return Take::Held;
}

bool InstallerCheck::ReadAt(int file, std::int64_t offset, char* out, std::size_t length) {
    const HANDLE h = m_files[static_cast<std::size_t>(file)].get();
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(h, out, static_cast<DWORD>(length), &got, &at)) {
            if (IsBusyError(::GetLastError())) m_busy = true;
            return false;
        }
        if (got == 0) return false;  // shorter than the torrent says
        out += got;
        offset += got;
        length -= got;
    }
    return true;
}

bool InstallerCheck::Step(std::int64_t budget) {
    m_busy = false;
    if (!Held()) return false;
    const lt::file_storage& fs = m_info->files();
    const int pieces = fs.num_pieces();
    if (!m_hashed) {
        m_next = pieces;
        m_checkedBytes = fs.total_size();
        return true;
    }
    if (m_buffer.empty()) m_buffer.resize(kReadChunk);
    std::int64_t spent = 0;
    while (m_next < pieces && (spent == 0 || spent < budget)) {
        const lt::piece_index_t piece(m_next);
        const int size = fs.piece_size(piece);
        Sha1 sha1;
        bool whole = true;
        for (const lt::file_slice& slice : fs.map_block(piece, 0, size)) {
            std::int64_t done = 0;
            while (whole && done < slice.size) {
                const std::size_t n = static_cast<std::size_t>(
                    std::min<std::int64_t>(slice.size - done, static_cast<std::int64_t>(m_buffer.size())));
                if (fs.pad_file_at(slice.file_index)) {
                    std::memset(m_buffer.data(), 0, n);
                } else if (!ReadAt(static_cast<int>(slice.file_index), slice.offset + done, m_buffer.data(), n)) {
                    if (m_busy) return false;  // asked again later, from this piece on
                    whole = false;
                    break;
                }
                sha1.Update(m_buffer.data(), n);
                done += static_cast<std::int64_t>(n);
            }
            if (!whole) break;
        }
        if (!whole || sha1.Final() != m_info->hash_for_piece(piece)) m_bad.push_back(m_next);
        ++m_next;
        spent += size;
        m_checkedBytes += size;
    }
    return m_next >= pieces;
}

void InstallerCheck::Release() {
    m_files.clear();
    m_info.reset();
    m_next = 0;
    m_checkedBytes = 0;
    m_busy = false;
    m_hashed = false;
    m_bad.clear();
}
