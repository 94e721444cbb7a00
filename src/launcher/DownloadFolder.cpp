#include "launcher/DownloadFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <memory>
#include <vector>

#include "framework/handles.h"
#include "torrent/CodePage.h"
#include "torrent/Diagnostics.h"
#include "torrent/InstallerPath.h"
#include "ui/MirelLauncherDlg.h"

const char kFolderLockName[] = "MirelLauncher.lock";
const wchar_t kFolderLockNameW[] = L"MirelLauncher.lock";

namespace {

// Rights that change a folder or what is in it: creating files and folders, writing,
// deleting children, changing attributes, the access list or the owner.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

struct LocalFreeDeleter {
    void operator()(void* p) const { ::LocalFree(p); }
};

// The token's user and default owner (the Administrators group for an elevated administrator).
struct TokenSids {
    std::vector<BYTE> user, owner;
    bool Load() {
        UniqueKernelHandle token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
        return Query(token.get(), TokenUser, user) && Query(token.get(), TokenOwner, owner);
    }
    PSID User() const { return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid; }
    PSID Owner() const { return reinterpret_cast<const TOKEN_OWNER*>(owner.data())->Owner; }
    bool IsUs(PSID sid) const { return ::EqualSid(sid, User()) || ::EqualSid(sid, Owner()); }

private:
    static bool Query(HANDLE token, TOKEN_INFORMATION_CLASS cls, std::vector<BYTE>& out) {
        DWORD size = 0;
        ::GetTokenInformation(token, cls, nullptr, 0, &size);
        if (size == 0) return false;
        out.assign(size, 0);
        return ::GetTokenInformation(token, cls, out.data(), size, &size) != FALSE;
    }
};

bool IsSystemOrAdministrators(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

}  // namespace

std::wstring DownloadFolderSddl() {
    TokenSids sids;
    if (!sids.Load()) return std::wstring();
    wchar_t* user = nullptr;
    if (!::ConvertSidToStringSidW(sids.User(), &user)) return std::wstring();
    std::unique_ptr<wchar_t, LocalFreeDeleter> keep(user);
    // 0x1200a9: read and execute (list, read data, attributes, extended attributes, the
    // access list, synchronise).
    return std::wstring(L"D:P(A;OICI;FA;;;") + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
}

FolderSecurity::FolderSecurity() {
    std::wstring sddl = DownloadFolderSddl();
    if (sddl.empty()) return;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &m_sd, nullptr)) {
        m_sd = nullptr;
        return;
    }
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = m_sd;
    m_sa.bInheritHandle = FALSE;
}

FolderSecurity::~FolderSecurity() {
    if (m_sd) ::LocalFree(m_sd);
}

HANDLE OpenFolderHeld(const std::string& path) {
    return ::CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsPlainFolder(HANDLE folder, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(folder, &info)) return false;
    // By name too (without a trailing separator, which would lead through a link): not every
    // file system reports a link through a handle opened on it.
    std::string name = path;
    while (name.size() > 3 && (name.back() == '\\' || name.back() == '/')) name.pop_back();
    DWORD byName = ::GetFileAttributesA(name.c_str());
    return byName != INVALID_FILE_ATTRIBUTES && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | byName) & FILE_ATTRIBUTE_REPARSE_POINT);
}

FolderTrust ReadFolderTrust(HANDLE folder) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return FolderTrust();
    std::unique_ptr<void, LocalFreeDeleter> keep(sd);
    return EvaluateFolderSecurity(sd);
}

FolderTrust EvaluateFolderSecurity(PSECURITY_DESCRIPTOR sd) {
    FolderTrust trust;
    TokenSids sids;
    if (!sd || !sids.Load()) return trust;
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner) return trust;
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return trust;
    trust.read = true;
    trust.ownedByUs = sids.IsUs(owner);
    trust.ownerTrusted = trust.ownedByUs || IsSystemOrAdministrators(owner);
    // No access list at all lets everyone do everything.
    if (!present || !dacl) {
        trust.othersWrite = true;
        return trust;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            trust.othersWrite = true;
            break;
        }
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE ||
            header->AceType == SYSTEM_ALARM_ACE_TYPE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            // Allowing in a form not looked into here: counted as letting others write.
            trust.othersWrite = true;
            break;
        }
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &ace->SidStart;
        if (!(ace->Mask & kWriteRights)) continue;
        // Entries for the creator (and the owner) of an object stand for whoever may create
        // there, which the other entries decide.
        if (::IsWellKnownSid(sid, WinCreatorOwnerSid) || ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) continue;
        if (sids.IsUs(sid) || IsSystemOrAdministrators(sid)) continue;
        trust.othersWrite = true;
        break;
    }
    return trust;
}

bool TightenFolder(const std::string& path) {
    FolderSecurity security;
    if (!security.descriptor()) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    UniqueKernelHandle folder(::CreateFileA(path.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) return false;
    return IsPlainFolder(folder.get(), path) &&
           ::SetSecurityInfo(folder.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

LockResult TakeFolderLock(const std::string& folder, HANDLE& lock) {
    std::string path = folder;
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += kFolderLockName;
    lock = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (lock != INVALID_HANDLE_VALUE) return LockResult::Held;
    lock = nullptr;
    return ::GetLastError() == ERROR_SHARING_VIOLATION ? LockResult::Busy : LockResult::Unavailable;
}

bool FinalPathIs(HANDLE folder, const std::wstring& expected) {
    wchar_t final[MAX_PATH * 2] = {};
    DWORD n = ::GetFinalPathNameByHandleW(folder, final, MAX_PATH * 2, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= MAX_PATH * 2) return false;
    std::wstring got(final, n);
    if (got.rfind(L"\\\\?\\", 0) == 0) got.erase(0, 4);
    std::wstring want = expected;
    for (std::wstring* s : {&got, &want})
        while (s->size() > 3 && (s->back() == L'\\' || s->back() == L'/')) s->pop_back();
    return !want.empty() && got.size() == want.size() &&
           ::CompareStringOrdinal(got.c_str(), static_cast<int>(got.size()), want.c_str(),
                                  static_cast<int>(want.size()), TRUE) == CSTR_EQUAL;
}

namespace {

// Deeper than this, a folder's content is not looked into: counted as not ours.
constexpr int kMaxFolderDepth = 32;

UniqueKernelHandle OpenEntry(const std::wstring& path, DWORD access) {
    return UniqueKernelHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Calls `visit(path, attributes)` for each entry of a folder other than "." and "..". False
// when the folder cannot be listed or `visit` says stop.
template <typename Visit>
bool ForEachEntry(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                             nullptr, 0));
    if (!find) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
        if (!visit(folder + L"\\" + entry.cFileName, entry.cFileName, entry.dwFileAttributes)) return false;
    } while (::FindNextFileW(find.get(), &entry));
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

FolderContent Inspect(const std::wstring& folder, const wchar_t* skip, int depth) {
    if (depth > kMaxFolderDepth) return FolderContent::Unknown;
    TokenSids sids;
    if (!sids.Load()) return FolderContent::Unknown;
    FolderContent result = FolderContent::Ours;
    bool listed = ForEachEntry(folder, [&](const std::wstring& path, const wchar_t* name, DWORD listedAttributes) {
        if (skip && ::CompareStringOrdinal(name, -1, skip, -1, TRUE) == CSTR_EQUAL) return true;
        UniqueKernelHandle entry = OpenEntry(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!entry || !::GetFileInformationByHandle(entry.get(), &info)) {
            result = FolderContent::Unknown;
            return false;
        }
        // By name too: not every file system reports a link through a handle opened on it.
        const DWORD byName = ::GetFileAttributesW(path.c_str());
        if ((info.dwFileAttributes | listedAttributes | (byName == INVALID_FILE_ATTRIBUTES ? 0 : byName)) &
            FILE_ATTRIBUTE_REPARSE_POINT) {
            result = FolderContent::Foreign;
            return false;
        }
        PSECURITY_DESCRIPTOR sd = nullptr;
        PSID owner = nullptr;
        if (::GetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS) {
            result = FolderContent::Unknown;
            return false;
        }
        std::unique_ptr<void, LocalFreeDeleter> keep(sd);
        if (!owner || !(sids.IsUs(owner) || IsSystemOrAdministrators(owner))) {
            result = FolderContent::Foreign;
            return false;
        }
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.reset();
            result = Inspect(path, nullptr, depth + 1);
            return result == FolderContent::Ours;
        }
        return true;
    });
    if (!listed && result == FolderContent::Ours) result = FolderContent::Unknown;
    return result;
}

// Deletes one entry through a handle opened on the entry itself, so a link goes and its target
// stays. A read-only entry is made writable first.
bool DeleteEntry(const std::wstring& path) {
    UniqueKernelHandle entry = OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (!entry) return false;
    FILE_BASIC_INFO basic{};
    if (::GetFileInformationByHandleEx(entry.get(), FileBasicInfo, &basic, sizeof(basic)) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        FILE_BASIC_INFO change{};
        change.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(entry.get(), FileBasicInfo, &change, sizeof(change));
    }
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &dispose, sizeof(dispose))) return false;
    entry.reset();
    return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool Empty(const std::wstring& folder, const wchar_t* keep, int depth) {
    if (depth > kMaxFolderDepth) return false;
    bool emptied = true;
    bool listed = ForEachEntry(folder, [&](const std::wstring& path, const wchar_t* name, DWORD attributes) {
        if (keep && ::CompareStringOrdinal(name, -1, keep, -1, TRUE) == CSTR_EQUAL) return true;
        // A link is removed as itself; only a real folder is entered.
        const DWORD byName = ::GetFileAttributesW(path.c_str());
        if (byName != INVALID_FILE_ATTRIBUTES) attributes |= byName & FILE_ATTRIBUTE_REPARSE_POINT;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            UniqueKernelHandle entry = OpenEntry(path, FILE_READ_ATTRIBUTES);
            BY_HANDLE_FILE_INFORMATION info{};
            if (entry && ::GetFileInformationByHandle(entry.get(), &info) &&
                !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !Empty(path, nullptr, depth + 1))
                emptied = false;
        }
        if (!DeleteEntry(path)) emptied = false;
        return true;
    });
    return listed && emptied;
}

}  // namespace

namespace {
std::wstring WithoutSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}
}  // namespace

FolderContent InspectFolderContent(const std::wstring& folder, const wchar_t* skip) {
    return Inspect(WithoutSeparator(folder), skip, 0);
}

bool EmptyFolder(const std::wstring& folder, const wchar_t* keep) { return Empty(WithoutSeparator(folder), keep, 0); }

DownloadFolder::State DownloadFolder::Take(const std::string& path) {
    if (IsHeld()) return m_state;  // held since an earlier run
    std::string folder = path;
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    m_state = Failed;
    FolderSecurity security;
    if (!security.get()) return m_state;
    if (::CreateDirectoryA(folder.c_str(), security.get())) return Hold(folder, true);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return Hold(folder, false);
    // The folder above may be missing too; a deeper gap is not filled.
    const std::string parent = folder.substr(0, folder.find_last_of('\\'));
    if (!::CreateDirectoryA(parent.c_str(), security.get())) return m_state;
    if (!::CreateDirectoryA(folder.c_str(), security.get())) return m_state;
    return Hold(folder, true);
}

// The folders are created with a protected access list of their own, not the drive's (under
// which every user may create and change files). An existing folder is used only as itself,
// never through a junction or link; its access list is tightened when it is ours and lets
// others write, and what it holds is cleared when we cannot vouch for it.
DownloadFolder::State DownloadFolder::Hold(const std::string& folder, bool created) {
    Release();
    // Both levels are opened as themselves, without a trailing separator (which would lead
    // through a link), and the folder's handle must end where its name says.
    const std::string parent = folder.substr(0, folder.find_last_of('\\'));
    m_parent.reset(OpenFolderHeld(parent));
    m_folder.reset(OpenFolderHeld(folder));
    // A junction or link at either level would let whoever made it choose the folder.
    if (!m_folder || !IsPlainFolder(m_folder.get(), folder) || (m_parent && !IsPlainFolder(m_parent.get(), parent)) ||
        !FinalPathIs(m_folder.get(), FullPath(AnsiToWide(folder)))) {
        Release();
        return m_state = Refused;
    }
    HANDLE lock = nullptr;
    if (TakeFolderLock(folder, lock) == LockResult::Busy) {
        Release();
        return m_state = Busy;
    }
    m_lock.reset(lock);
    FolderTrust trust = ReadFolderTrust(m_folder.get());
    // What others could put here before the folder was tightened is not ours to open.
    const bool othersCouldWrite = !created && trust.othersWrite;
    if (!trust.trusted() && trust.read && trust.ownedByUs && (created || trust.othersWrite) && TightenFolder(folder))
        trust = ReadFolderTrust(m_folder.get());
    m_state = trust.trusted() ? Trusted : Untrusted;
    if (m_state != Trusted || created) return m_state;

    // The folder is only a cache, filled again by the download: one whose content we cannot
    // vouch for is emptied (the lock we hold aside) before anything in it is used.
    const std::wstring wideFolder = AnsiToWide(folder);
    if (othersCouldWrite || InspectFolderContent(wideFolder, kFolderLockNameW) != FolderContent::Ours) {
        const bool emptied = EmptyFolder(wideFolder, kFolderLockNameW);
        TorrentDiagnostic(stderr, "%s: %s\n", folder.c_str(),
                          emptied ? "emptied, it held what someone else may have put there"
                                  : "not used, it holds what someone else put there and cannot be removed");
        if (!emptied) m_state = Untrusted;
    }
    return m_state;
}

void DownloadFolder::Release() {
    m_lock.reset();
    m_folder.reset();
    m_parent.reset();
}

BOOL CMirelLauncherDlg::EnsureDownloadDir(char* output) {
    if (m_downloadFolder.Take(m_szDownloadDir) == DownloadFolder::Failed || !m_downloadFolder.IsHeld()) return FALSE;
    lstrcpynA(output, m_szDownloadDir, MAX_PATH);
    return TRUE;
}
