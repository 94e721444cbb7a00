#include "launcher/FolderTrust.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "common/CodePage.h"
#include "common/FilePaths.h"
#include "framework/handles.h"

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
    // Ours under every identity a run of ours has: the user, an elevated run's Administrators,
    // SYSTEM.
    bool IsOurs(PSID sid) const;

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

bool TokenSids::IsOurs(PSID sid) const { return IsUs(sid) || IsSystemOrAdministrators(sid); }

bool NoDescriptionHook(const std::wstring&, std::wstring&) { return false; }

// The owner and access list of what `h` is open on, as the hook for tests may show them. Null
// when they cannot be read; freed with LocalFree.
PSECURITY_DESCRIPTOR ReadSecurity(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return nullptr;
    std::wstring sddl;
    if (g_describeForTests != NoDescriptionHook && g_describeForTests(FinalPathOf(h), sddl)) {
        PSECURITY_DESCRIPTOR shown = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &shown, nullptr)) {
            ::LocalFree(sd);
            sd = shown;
        }
    }
    return sd;
}

}  // namespace

bool (*g_describeForTests)(const std::wstring& finalPath, std::wstring& sddl) = NoDescriptionHook;

namespace {

std::wstring CurrentUserSid() {
    TokenSids sids;
    if (!sids.Load()) return std::wstring();
    wchar_t* user = nullptr;
    if (!::ConvertSidToStringSidW(sids.User(), &user)) return std::wstring();
    std::unique_ptr<wchar_t, LocalFreeDeleter> keep(user);
    return user;
}

}  // namespace

std::wstring DownloadFolderSddl() {
    const std::wstring user = CurrentUserSid();
    if (user.empty()) return user;
    // 0x1200a9: read and execute (list, read data, attributes, extended attributes, the
    // access list, synchronise).
    return L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
}

std::wstring LockFileSddl() {
    const std::wstring user = CurrentUserSid();
    if (user.empty()) return user;
    return L"D:P(A;;FA;;;" + user + L")(A;;FA;;;SY)(A;;FA;;;BA)";
}

FolderSecurity::FolderSecurity(const std::wstring& sddl) {
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

HANDLE OpenFolderHeld(const std::string& path, DWORD extraAccess) {
    const DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE h = ::CreateFileA(path.c_str(), access | extraAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // Not granted, or another launcher holds it already (without sharing deletion).
    if (h == INVALID_HANDLE_VALUE && extraAccess &&
        (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION))
        h = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return h;
}

bool IsPlainFolder(HANDLE folder, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(folder, &info)) return false;
    // By name too (without a trailing separator, which would lead through a link): not every
    // file system reports a link through a handle opened on it.
    DWORD byName = ::GetFileAttributesA(WithoutTrailingSeparators(path).c_str());
    return byName != INVALID_FILE_ATTRIBUTES && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | byName) & FILE_ATTRIBUTE_REPARSE_POINT);
}

FolderTrust ReadFolderTrust(HANDLE folder) {
    PSECURITY_DESCRIPTOR sd = ReadSecurity(folder);
    if (!sd) return FolderTrust();
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
    trust.ownerTrusted = sids.IsOurs(owner);
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
        if (sids.IsOurs(sid)) continue;
        trust.othersWrite = true;
        break;
    }
    return trust;
}

bool TightenFolder(HANDLE folder) {
    FolderSecurity security(DownloadFolderSddl());
    if (!security.descriptor()) return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    return ::SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

namespace {

bool SameText(const std::wstring& a, const std::wstring& b, size_t length) {
    return a.size() >= length && b.size() >= length &&
           ::CompareStringOrdinal(a.c_str(), static_cast<int>(length), b.c_str(), static_cast<int>(length), TRUE) ==
               CSTR_EQUAL;
}

}  // namespace

std::wstring FinalPathOf(HANDLE h) {
    // Sized by asking: a path in the download folder may be longer than MAX_PATH.
    std::wstring final(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD n = ::GetFinalPathNameByHandleW(h, &final[0], static_cast<DWORD>(final.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return std::wstring();
        if (n < final.size()) {
            final.resize(n);
            break;
        }
        final.assign(n + 1, L'\0');
        if (attempt == 1) return std::wstring();
    }
    if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) final.replace(0, 8, L"\\\\");
    else if (final.rfind(L"\\\\?\\", 0) == 0) final.erase(0, 4);
    return WithoutTrailingSeparators(final);
}

std::wstring LongPath(const std::wstring& path) {
    const std::wstring extended = ExtendedPath(path);
    const DWORD n = ::GetLongPathNameW(extended.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    const DWORD got = ::GetLongPathNameW(extended.c_str(), &out[0], n);
    if (got == 0 || got >= n) return path;
    out.resize(got);
    if (out.rfind(L"\\\\?\\", 0) == 0 && extended.rfind(L"\\\\?\\", 0) == 0 && path.rfind(L"\\\\?\\", 0) != 0)
        out.erase(0, 4);
    return out;
}

bool FinalPathIs(HANDLE folder, const std::wstring& expected) {
    const std::wstring got = FinalPathOf(folder);
    // Where it names a folder by its short (8.3) name, the final path has the long one.
    const std::wstring want = WithoutTrailingSeparators(LongPath(FullPath(expected)));
    return !want.empty() && got.size() == want.size() && SameText(got, want, got.size());
}

namespace {

// Where a path really is: the final path of its longest part that exists (links resolved),
// followed by the rest as written.
std::wstring ResolvedPath(const std::wstring& path) {
    std::wstring head = WithoutTrailingSeparators(FullPath(path));
    std::wstring tail;
    while (!head.empty()) {
        UniqueKernelHandle h(::CreateFileW(head.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (h) {
            const std::wstring final = FinalPathOf(h.get());
            if (!final.empty()) return final + tail;
        }
        const size_t slash = head.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash < 2) break;
        tail = head.substr(slash) + tail;
        head.erase(slash);
    }
    return WithoutTrailingSeparators(FullPath(path));
}

// True when `inner` is `outer` or lies below it.
bool WithinOrSame(const std::wstring& inner, const std::wstring& outer) {
    if (inner.empty() || outer.empty() || inner.size() < outer.size() || !SameText(inner, outer, outer.size()))
        return false;
    return inner.size() == outer.size() || inner[outer.size()] == L'\\' || outer.back() == L'\\';
}

}  // namespace

bool FoldersOverlap(const std::wstring& a, const std::wstring& b) {
    const std::wstring ra = ResolvedPath(a), rb = ResolvedPath(b);
    return WithinOrSame(ra, rb) || WithinOrSame(rb, ra);
}

namespace {

// True when the access list lets nobody but us, SYSTEM and Administrators do anything at all.
bool OnlyUsMayOpen(PSECURITY_DESCRIPTOR sd) {
    TokenSids sids;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd || !sids.Load() || !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return false;
    if (!present || !dacl) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
        if (!sids.IsOurs(sid)) return false;
    }
    return true;
}

UniqueKernelHandle OpenLock(const std::string& path, SECURITY_ATTRIBUTES* sa, bool create) {
    return UniqueKernelHandle(::CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL | (create ? DELETE : 0), 0, sa,
                                            create ? OPEN_ALWAYS : OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

LockResult TakeFolderLock(const std::string& folder, HANDLE& lock, bool create) {
    lock = nullptr;
    std::string path = folder;
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += kFolderLockName;
    FolderSecurity security(LockFileSddl());
    if (!security.get()) return LockResult::Unavailable;
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueKernelHandle file = OpenLock(path, security.get(), create);
        if (!file) {
            const DWORD e = ::GetLastError();
            if (e == ERROR_SHARING_VIOLATION) return LockResult::Busy;
            if (!create && (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)) return LockResult::Missing;
            // Another user's lock, which lets nobody else open it; or a folder (or anything else
            // that cannot be opened as a file) under the lock's name.
            if (e == ERROR_ACCESS_DENIED) return LockResult::NotOurs;
            return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ? LockResult::NotOurs
                                                                               : LockResult::Unavailable;
        }
        // What was opened, judged through the handle: a plain file, with this name alone, ours.
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.get(), &info)) return LockResult::Unavailable;
        if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
            info.nNumberOfLinks > 1)
            return LockResult::NotOurs;
        PSECURITY_DESCRIPTOR sd = ReadSecurity(file.get());
        if (!sd) return LockResult::Unavailable;
        std::unique_ptr<void, LocalFreeDeleter> keepSd(sd);
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        TokenSids sids;
        // Ours under every identity: an elevated run leaves the lock owned by Administrators.
        if (!::GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner || !sids.Load() || !sids.IsOurs(owner))
            return LockResult::NotOurs;
        // Used as it stands, a lock of ours is held as it is: nothing is made again.
        if (OnlyUsMayOpen(sd) || !create) {
            lock = file.release();
            return LockResult::Held;
        }
        // A lock of an earlier version that others could open (and hold against us): proven
        // ours above, it is removed through this handle and made again with our access list.
        FILE_DISPOSITION_INFO dispose{};
        dispose.DeleteFile = TRUE;
        if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof(dispose)))
            return LockResult::Unavailable;
    }
    return LockResult::Unavailable;
}

namespace {

// Deeper than this, a folder's content is not looked into: the launcher makes no such tree.
constexpr int kMaxFolderDepth = 32;

// What an error that kept an entry from being listed or opened says about it: held by another
// program right now (busy), or closed to us (someone else's), or neither.
FolderContent ContentOfError(DWORD e) {
    if (e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION) return FolderContent::Busy;
    if (e == ERROR_ACCESS_DENIED) return FolderContent::Foreign;
    return FolderContent::Unknown;
}

// Calls `visit(path, name, attributes)` for each entry of a folder other than "." and "..",
// by paths in the extended form where they are long. Ours when every entry was visited; else
// what kept the folder from being listed, or Unknown when `visit` said stop.
template <typename Visit>
FolderContent ForEachEntry(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileExW(ExtendedPath(folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0));
    if (!find) {
        const DWORD e = ::GetLastError();
        return e == ERROR_FILE_NOT_FOUND ? FolderContent::Ours : ContentOfError(e);
    }
    do {
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
        if (!visit(folder + L"\\" + entry.cFileName, entry.cFileName, entry.dwFileAttributes))
            return FolderContent::Unknown;
    } while (::FindNextFileW(find.get(), &entry));
    return ::GetLastError() == ERROR_NO_MORE_FILES ? FolderContent::Ours : FolderContent::Unknown;
}

// Looks only: entries are opened for their attributes and access lists, never their content.
FolderContent Inspect(const std::wstring& folder, const wchar_t* skip, int depth) {
    if (depth > kMaxFolderDepth) return FolderContent::Foreign;
    TokenSids sids;
    if (!sids.Load()) return FolderContent::Unknown;
    FolderContent result = FolderContent::Ours;
    const FolderContent listed = ForEachEntry(folder, [&](const std::wstring& path, const wchar_t* name,
                                                          DWORD listedAttributes) {
        if (skip && ::CompareStringOrdinal(name, -1, skip, -1, TRUE) == CSTR_EQUAL) return true;
        const std::wstring opened = ExtendedPath(path);
        UniqueKernelHandle entry(::CreateFileW(opened.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr));
        if (!entry) {
            result = ContentOfError(::GetLastError());
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(entry.get(), &info)) {
            result = FolderContent::Unknown;
            return false;
        }
        // By name too: not every file system reports a link through a handle opened on it.
        const DWORD byName = ::GetFileAttributesW(opened.c_str());
        const bool isFolder = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (((info.dwFileAttributes | listedAttributes | (byName == INVALID_FILE_ATTRIBUTES ? 0 : byName)) &
             FILE_ATTRIBUTE_REPARSE_POINT) ||
            (!isFolder && info.nNumberOfLinks > 1)) {
            result = FolderContent::Foreign;
            return false;
        }
        PSECURITY_DESCRIPTOR sd = ReadSecurity(entry.get());
        if (!sd) {
            result = FolderContent::Unknown;
            return false;
        }
        std::unique_ptr<void, LocalFreeDeleter> keep(sd);
        const FolderTrust trust = EvaluateFolderSecurity(sd);
        if (!trust.read) {
            result = FolderContent::Unknown;
            return false;
        }
        if (!trust.trusted()) {
            result = FolderContent::Foreign;
            return false;
        }
        if (isFolder) {
            entry.reset();
            result = Inspect(path, nullptr, depth + 1);
            return result == FolderContent::Ours;
        }
        return true;
    });
    return result != FolderContent::Ours ? result : listed;
}

}  // namespace

FolderContent InspectFolderContent(const std::wstring& folder) {
    return Inspect(WithoutTrailingSeparators(folder), kFolderLockNameW, 0);
}

OpenCheck HoldIfStillOurs(const std::wstring& path, UniqueKernelHandle& hold) {
    hold.reset(::CreateFileW(ExtendedPath(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!hold) {
        const DWORD e = ::GetLastError();
        return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION ? OpenCheck::Busy : OpenCheck::NotOurs;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    bool ours = ::GetFileInformationByHandle(hold.get(), &info) &&
                !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && FinalPathIs(hold.get(), path) &&
                ReadFolderTrust(hold.get()).trusted();
    // A file's other names change nothing about who may write it: its owner and access list
    // are per file, and only we may write in the folder it was made in. A folder's content is
    // judged whole.
    if (ours && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const FolderContent content = InspectFolderContent(path);
        if (content == FolderContent::Busy) {
            hold.reset();
            return OpenCheck::Busy;
        }
        ours = content == FolderContent::Ours;
    }
    if (!ours) hold.reset();
    return ours ? OpenCheck::Ours : OpenCheck::NotOurs;
}

bool IsEmptyFolder(const std::wstring& folder) {
    bool empty = true;
    const FolderContent listed =
        ForEachEntry(folder, [&](const std::wstring&, const wchar_t*, DWORD) { return empty = false; });
    return empty && listed == FolderContent::Ours;
}
