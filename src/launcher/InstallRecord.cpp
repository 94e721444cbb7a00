// The game's installation record in the registry, the download folder and file versions.
#include <cstdio>
#include <cstring>
#include <memory>

#include "framework/handles.h"
#include "launcher/DownloadFolder.h"
#include "launcher/StartParams.h"
#include "torrent/CodePage.h"
#include "torrent/Diagnostics.h"
#include "ui/MirelLauncherDlg.h"

namespace {

struct HeapDeleter {
    void operator()(void* p) const { ::HeapFree(::GetProcessHeap(), 0, p); }
};

// The record is only read. Asking for write access too would make it unreadable for a
// standard user, and an installed game would then count as not installed.
constexpr REGSAM kRecordAccess = KEY_READ;
constexpr DWORD kValueBufferSize = MAX_PATH;

bool OpenRecord(const char* keyPath, UniqueRegKey& key) {
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath ? keyPath : "", 0, kRecordAccess, key.put()) == ERROR_SUCCESS;
}

// A value counts only when it is a string value whose data, terminator included, fits the buffer.
bool ReadStringValue(HKEY key, const char* name, char (&buf)[kValueBufferSize]) {
    DWORD type = 0;
    DWORD size = kValueBufferSize;
    BYTE data[kValueBufferSize + 2] = {};
    if (::RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) return false;
    if (size > kValueBufferSize) return false;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (size < 1 || data[size - 1] != '\0') return false;
        break;
    case REG_MULTI_SZ:
        if (size < 2 || data[size - 1] != '\0' || data[size - 2] != '\0') return false;
        break;
    default:
        return false;
    }
    std::memcpy(buf, data, size);
    buf[kValueBufferSize - 1] = '\0';
    return true;
}

BOOL CopyFolder(char* output, const char* folder) {
    lstrcpynA(output, folder, MAX_PATH);
    return TRUE;
}

}  // namespace

BOOL CMirelLauncherDlg::EnsureGameFolder(const char* keyPath, char* installPath) {
    UniqueRegKey key;
    if (!OpenRecord(keyPath, key)) return FALSE;
    char value[kValueBufferSize];
    if (!ReadStringValue(key.get(), "InstallPath", value)) return FALSE;
    key.reset();
    std::memcpy(installPath, value, std::strlen(value) + 1);
    if (::CreateDirectoryA(installPath, nullptr)) return FALSE;
    return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

BOOL CMirelLauncherDlg::ReadGameVersion(const char* keyPath, char* version) {
    UniqueRegKey key;
    if (!OpenRecord(keyPath, key)) return FALSE;
    char value[kValueBufferSize];
    if (!ReadStringValue(key.get(), "Version", value)) return FALSE;
    CopyTruncated(version, kVersionSize, value);
    return TRUE;
}

// The folders are created with a protected access list of their own, not the drive's (under
// which every user may create and change files). An existing folder is used only as itself,
// never through a junction or link; its access list is tightened when it is ours and lets
// others write. m_nFolderState tells the caller why the operation failed, or whether the
// folder can be trusted with what is opened from it.
BOOL CMirelLauncherDlg::EnsureDownloadDir(char* output) {
    if (m_hDownFolder) return CopyFolder(output, m_szDownloadDir);  // held since an earlier run
    m_nFolderState = FOLDER_FAILED;
    FolderSecurity security;
    if (!security.get()) return FALSE;
    if (::CreateDirectoryA(m_szDownloadDir, security.get()))
        return HoldDownloadDir(true) && CopyFolder(output, m_szDownloadDir);
    if (::GetLastError() == ERROR_ALREADY_EXISTS)
        return HoldDownloadDir(false) && CopyFolder(output, m_szDownloadDir);
    char parent[MAX_PATH] = {};
    std::snprintf(parent, sizeof(parent), "%s\\%s", m_szSystemRoot, "Down");
    if (!::CreateDirectoryA(parent, security.get())) return FALSE;
    if (!::CreateDirectoryA(m_szDownloadDir, security.get())) return FALSE;
    return HoldDownloadDir(true) && CopyFolder(output, m_szDownloadDir);
}

BOOL CMirelLauncherDlg::HoldDownloadDir(bool created) {
    ReleaseDownloadDir();
    // Both levels are opened as themselves, without a trailing separator (which would lead
    // through a link), and the folder's handle must end where its name says.
    std::string folder = m_szDownloadDir;
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    const std::string parent = folder.substr(0, folder.find_last_of('\\'));
    m_hDownParent.reset(OpenFolderHeld(parent));
    m_hDownFolder.reset(OpenFolderHeld(folder));
    // A junction or link at either level would let whoever made it choose the folder.
    if (!m_hDownFolder || !IsPlainFolder(m_hDownFolder.get(), folder) ||
        (m_hDownParent && !IsPlainFolder(m_hDownParent.get(), parent)) ||
        !FinalPathIs(m_hDownFolder.get(), FullPathOf(folder))) {
        ReleaseDownloadDir();
        m_nFolderState = FOLDER_REFUSED;
        return FALSE;
    }
    // Another launcher (of another user or session) uses the folder: touch nothing.
    HANDLE lock = nullptr;
    if (TakeFolderLock(folder, lock) == LockResult::Busy) {
        ReleaseDownloadDir();
        m_nFolderState = FOLDER_BUSY;
        return FALSE;
    }
    m_hFolderLock.reset(lock);
    FolderTrust trust = ReadFolderTrust(m_hDownFolder.get());
    // What others could put here before the folder was tightened is not ours to open.
    const bool othersCouldWrite = !created && trust.othersWrite;
    if (!trust.trusted() && trust.read && trust.ownedByUs && (created || trust.othersWrite) &&
        TightenFolder(folder))
        trust = ReadFolderTrust(m_hDownFolder.get());
    m_nFolderState = trust.trusted() ? FOLDER_TRUSTED : FOLDER_UNTRUSTED;
    if (m_nFolderState != FOLDER_TRUSTED || created) return TRUE;

    // The folder is only a cache, filled again by the download: one whose content we cannot
    // vouch for is emptied (the lock we hold aside) before anything in it is used.
    const std::wstring wideFolder = AnsiToWide(folder);
    if (othersCouldWrite || InspectFolderContent(wideFolder, kFolderLockNameW) != FolderContent::Ours) {
        const bool emptied = EmptyFolder(wideFolder, kFolderLockNameW);
        TorrentDiagnostic(stderr, "%s: %s\n", folder.c_str(),
                          emptied ? "emptied, it held what someone else may have put there"
                                  : "not used, it holds what someone else put there and cannot be removed");
        if (!emptied) m_nFolderState = FOLDER_UNTRUSTED;
    }
    return TRUE;
}

void CMirelLauncherDlg::ReleaseDownloadDir() {
    m_hFolderLock.reset();
    m_hDownFolder.reset();
    m_hDownParent.reset();
}

void CMirelLauncherDlg::GetFileVersionString(const char* path, CString& result) {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return;
    std::unique_ptr<void, HeapDeleter> buffer(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!buffer) return;
    void* info = buffer.get();
    ::GetFileVersionInfoA(path, 0, size, info);

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* table = nullptr;
    UINT tableLen = 0;
    if (::VerQueryValueA(info, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&table), &tableLen) &&
        table && tableLen >= sizeof(Translation)) {
        char query[MAX_PATH];
        std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04X%04X\\%s", table[0].language, table[0].codePage,
                      "FileVersion");
        char* value = nullptr;
        UINT valueLen = 0;
        if (::VerQueryValueA(info, query, reinterpret_cast<void**>(&value), &valueLen) && value && valueLen > 0) {
            result.Format("%s", value);
        }
    }
}
