#include "torrent/DiskFilePool.h"

#include <winioctl.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "common/FilePaths.h"

void DiskFilePool::SetLimit(int limit) {
    std::lock_guard<SrwLock> g(m_lock);
    m_limit = std::max(limit, 2);
}

DiskFilePool::Opened DiskFilePool::Open(std::uint64_t storage, lt::file_index_t file, const std::wstring& path,
                                        bool write, const NewFile& creation) {
    const Key key{storage, static_cast<int>(file)};
    UniqueKernelHandle readOnly;  // closed outside the lock
    {
        std::lock_guard<SrwLock> g(m_lock);
        auto it = m_files.find(key);
        if (it != m_files.end()) {
            readOnly = std::move(it->second.handle);
            m_files.erase(it);
        }
    }
    readOnly.reset();

    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // A finished file is only read: no write access, so the installer can be started while
    // it is seeded.
    const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    UniqueKernelHandle h(::CreateFileW(path.c_str(), access, share, nullptr, write ? OPEN_ALWAYS : OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD e = ::GetLastError();
    if (!h && write && e == ERROR_PATH_NOT_FOUND) {
        if (!CreateParents(path)) return Opened{INVALID_HANDLE_VALUE, ::GetLastError(), lt::operation_t::mkdir};
        h.reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        e = ::GetLastError();
    }
    if (!h) return Opened{INVALID_HANDLE_VALUE, e, lt::operation_t::file_open};
    if (write && e != ERROR_ALREADY_EXISTS) {
        if (creation.sparse) {
            DWORD got = 0;
            ::DeviceIoControl(h.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
        } else {
            LARGE_INTEGER size;
            size.QuadPart = creation.size;
            ::SetFileInformationByHandle(h.get(), FileEndOfFileInfo, &size, sizeof(size));
        }
    }

    const HANDLE result = h.get();
    std::vector<UniqueKernelHandle> evicted;
    evicted.reserve(2);
    {
        std::lock_guard<SrwLock> g(m_lock);
        while (!m_files.empty() && static_cast<int>(m_files.size()) >= m_limit) {
            auto oldest = std::min_element(m_files.begin(), m_files.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            evicted.push_back(std::move(oldest->second.handle));
            m_files.erase(oldest);
        }
        m_files[key] = Entry{std::move(h), write, lt::clock_type::now()};
    }
    return Opened{result};
}

HANDLE DiskFilePool::Cached(std::uint64_t storage, lt::file_index_t file, bool write) {
    std::lock_guard<SrwLock> g(m_lock);
    auto it = m_files.find(Key{storage, static_cast<int>(file)});
    if (it == m_files.end() || (write && !it->second.writable)) return INVALID_HANDLE_VALUE;
    it->second.lastUse = lt::clock_type::now();
    return it->second.handle.get();
}

void DiskFilePool::CloseStorage(std::uint64_t storage) noexcept {
    // One at a time, each closed outside the lock.
    for (;;) {
        UniqueKernelHandle closing;
        {
            std::lock_guard<SrwLock> g(m_lock);
            auto it = m_files.lower_bound(Key{storage, INT_MIN});
            if (it == m_files.end() || it->first.first != storage) return;
            closing = std::move(it->second.handle);
            m_files.erase(it);
        }
    }
}

void DiskFilePool::CloseAll() {
    std::map<Key, Entry> closing;
    std::lock_guard<SrwLock> g(m_lock);
    closing.swap(m_files);
}

std::vector<lt::open_file_state> DiskFilePool::Status(std::uint64_t storage) const {
    std::vector<lt::open_file_state> out;
    std::lock_guard<SrwLock> g(m_lock);
    for (auto& f : m_files)
        if (f.first.first == storage)
            out.push_back(lt::open_file_state{
                lt::file_index_t(f.first.second),
                f.second.writable ? lt::file_open_mode::read_write : lt::file_open_mode::read_only, f.second.lastUse});
    return out;
}
