// What runs is what was verified: the installer's files are held for reading, with no write or
// delete sharing, from the hash of their pieces to the start of the installer's process. While
// held nobody can change, rename or delete them; every piece's hash is taken again through the
// held handles (the hashes the library took came from the bytes handed to the writes, not from
// what the disk holds now).
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/torrent_info.hpp>

#include "framework/handles.h"

class InstallerCheck {
public:
    enum class Take {
        Held,    // every file is held, and is the one named
        Busy,    // another program has one open for writing, or without sharing reading
        Failed,  // missing, a link, a file of another than the one expected, or unreadable
    };

    InstallerCheck() = default;
    InstallerCheck(const InstallerCheck&) = delete;
    InstallerCheck& operator=(const InstallerCheck&) = delete;

    // Holds the content files of `info` saved under `savePath` (UTF-16, full). `expected`, when
    // given, is a handle already open on the one file of a one-file torrent: what is held must
    // be that very file (same volume and file ID).
    Take Hold(std::shared_ptr<const lt::torrent_info> info, const std::wstring& savePath,
              HANDLE expected = INVALID_HANDLE_VALUE);
    bool Held() const { return !m_files.empty(); }

    // Hashes the next pieces, about `budget` bytes of them (one piece at least). True once every
    // piece is judged.
    // A read that fails (a byte range another program locked) ends the step with Busy().
    bool Step(std::int64_t budget);
    bool Busy() const { return m_busy; }
    // Bytes judged so far, of the torrent's whole size.
    std::int64_t Checked() const { return m_checkedBytes; }
    std::int64_t Total() const { return m_info ? m_info->total_size() : 0; }
    // Whether the hashes could be taken: a torrent without SHA-1 piece hashes (v2 only) is
    // held through the opening but judged by the library's own check alone.
    bool Hashed() const { return m_hashed; }
    const std::vector<int>& BadPieces() const { return m_bad; }

    // Lets the files go.
    void Release();

private:
    bool ReadAt(int file, std::int64_t offset, char* out, std::size_t length);

    std::shared_ptr<const lt::torrent_info> m_info;
    std::vector<UniqueKernelHandle> m_files;  // by file index; empty for pad files
    std::vector<char> m_buffer;
    int m_next = 0;  // the next piece to hash
    std::int64_t m_checkedBytes = 0;
    bool m_busy = false;
    bool m_hashed = false;
    std::vector<int> m_bad;
};
