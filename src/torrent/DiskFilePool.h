// The disk back-end's open files: each opened once, kept while used, at most a bounded number,
// the least recently used closed first. Files are shared for read, write and delete, so other
// programs may start, move or delete them while they are open here.
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/aux_/vector.hpp>
#include <libtorrent/disk_interface.hpp>
#include <libtorrent/operations.hpp>
#include <libtorrent/time.hpp>
#include <libtorrent/units.hpp>

#include "common/SrwLock.h"
#include "framework/handles.h"

namespace lt = libtorrent;

class DiskFilePool {
public:
    // How a file that does not exist yet is made.
    struct NewFile {
        bool sparse = true;
        std::int64_t size = 0;  // its whole size, when not sparse
    };
    // An open file, or why it could not be opened.
    struct Opened {
        HANDLE handle = INVALID_HANDLE_VALUE;
        DWORD error = 0;
        lt::operation_t op = lt::operation_t::file_open;
    };

    DiskFilePool() = default;
    DiskFilePool(const DiskFilePool&) = delete;
    DiskFilePool& operator=(const DiskFilePool&) = delete;

    void SetLimit(int limit);

    // Opens the file `file` of the storage `storage` at `path`, when Cached found no handle fit
    // for it; a read-only handle is reopened for writing when `write` asks for it. The handle
    // stays valid until the next call that opens or closes files of the pool (they come from
    // one thread).
    Opened Open(std::uint64_t storage, lt::file_index_t file, const std::wstring& path, bool write,
                const NewFile& creation);

    // The open file, when it is open for what `write` asks; INVALID_HANDLE_VALUE otherwise (a
    // look-up without the file's path, which takes time to make).
    HANDLE Cached(std::uint64_t storage, lt::file_index_t file, bool write);

    // Closes every file of `storage`; allocates nothing (a removed torrent's files are closed
    // even when memory is short).
    void CloseStorage(std::uint64_t storage) noexcept;
    void CloseAll();

    // The open files of `storage` (any thread).
    std::vector<lt::open_file_state> Status(std::uint64_t storage) const;

private:
    using Key = std::pair<std::uint64_t, int>;
    struct Entry {
        UniqueKernelHandle handle;
        bool writable = false;
        lt::time_point lastUse;
    };

    mutable SrwLock m_lock;
    std::map<Key, Entry> m_files;
    int m_limit = 40;
};
