#include "launcher/FolderTrust.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include <winternl.h>

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

HANDLE OpenFolderHeld(const std::wstring& path, DWORD extraAccess) {
    const std::wstring opened = ExtendedPath(path);
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = ::CreateFileW(opened.c_str(), kFolderHoldAccess | extraAccess, kFolderHoldSharing, nullptr,
                             OPEN_EXISTING, flags, nullptr);
    // Not granted, or another launcher holds it already (without sharing deletion).
    if (h == INVALID_HANDLE_VALUE && extraAccess &&
        (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_SHARING_VIOLATION))
        h = ::CreateFileW(opened.c_str(), kFolderHoldAccess, kFolderHoldSharing, nullptr, OPEN_EXISTING, flags,
                          nullptr);
    return h;
}

HANDLE OpenFolderHeld(const std::string& path, DWORD extraAccess) {
    return OpenFolderHeld(AnsiToWide(path), extraAccess);
}

bool IsPlainFolder(HANDLE folder, const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(folder, &info)) return false;
    // By name too (without a trailing separator, which would lead through a link): not every
    // file system reports a link through a handle opened on it.
    DWORD byName = ::GetFileAttributesW(ExtendedPath(WithoutTrailingSeparators(path)).c_str());
    return byName != INVALID_FILE_ATTRIBUTES && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | byName) & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsPlainFolder(HANDLE folder, const std::string& path) { return IsPlainFolder(folder, AnsiToWide(path)); }

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return a && b && ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

bool PathNames(const std::wstring& path, HANDLE held) {
    // Attributes only: this open takes part in no sharing check, and blocks nothing.
    UniqueKernelHandle now(::CreateFileW(ExtendedPath(WithoutTrailingSeparators(FullPath(path))).c_str(),
                                         FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return now && SameFile(now.get(), held);
}

namespace {

// NtCreateFile and the conversion of its status, from ntdll (always loaded).
struct NtCalls {
    using Create = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG,
                                 ULONG, ULONG, ULONG, void*, ULONG);
    using ToDos = ULONG(WINAPI*)(LONG);
    Create create = nullptr;
    ToDos toDos = nullptr;
    NtCalls() {
        const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        create = reinterpret_cast<Create>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
        toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    }
};

const NtCalls& Nt() {
    static const NtCalls calls;
    return calls;
}

constexpr ULONG kNtSynchronousIo = 0x20;  // FILE_SYNCHRONOUS_IO_NONALERT
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusObjectPathNotFound = static_cast<LONG>(0xC000003A);

bool IsOneComponent(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos &&
           name.size() < 32768;
}

}  // namespace

UniqueKernelHandle OpenInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD share,
                                DWORD disposition, DWORD options, PSECURITY_DESCRIPTOR sd, LONG* status) {
    const NtCalls& nt = Nt();
    if (status) *status = kStatusInvalidParameter;
    if (!nt.create || !nt.toDos || !folder || folder == INVALID_HANDLE_VALUE || !IsOneComponent(name)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return UniqueKernelHandle();
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, sd);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    const LONG result = nt.create(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                  disposition, options | kNtSynchronousIo, nullptr, 0);
    if (status) *status = result;
    if (result < 0) {
        ::SetLastError(nt.toDos(result));
        return UniqueKernelHandle();
    }
    return UniqueKernelHandle(h);
}

bool ListFolderEntries(HANDLE folder, bool (*visit)(void* context, const std::wstring& name, DWORD attributes),
                       void* context) {
    // Listed through a handle of its own, opened again from the one given (the same folder, by
    // that handle: no path is looked up): a listing starts afresh there (Wine keeps what a handle
    // listed once, and would show it again), and the handle given keeps its own state.
    UniqueKernelHandle lister(::ReOpenFile(folder, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           FILE_FLAG_BACKUP_SEMANTICS));
    if (!lister) return false;
    // Aligned for the entries' 64-bit fields.
    std::vector<LONGLONG> buffer(64 * 1024 / sizeof(LONGLONG));
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
    FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(lister.get(), cls, buffer.data(), size))
            return ::GetLastError() == ERROR_NO_MORE_FILES;
        cls = FileIdBothDirectoryInfo;
        const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && !visit(context, name, entry->FileAttributes)) {
                ::SetLastError(ERROR_CANCELLED);
                return false;
            }
            if (!entry->NextEntryOffset) break;
            at += entry->NextEntryOffset;
        }
    }
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

namespace {

// The path of what `h` is open on, from its name on the volume and the drive letter of the
// volume: for systems whose GetFinalPathNameByHandle stops at MAX_PATH (Wine does).
std::wstring VolumePathOf(HANDLE h) {
    std::vector<BYTE> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    DWORD serial = 0;
    if (!::GetFileInformationByHandleEx(h, FileNameInfo, name, static_cast<DWORD>(buffer.size())) ||
        !::GetVolumeInformationByHandleW(h, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
        return std::wstring();
    const std::wstring onVolume(name->FileName, name->FileNameLength / sizeof(wchar_t));
    const DWORD drives = ::GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if (!(drives & (1u << (letter - L'A')))) continue;
        const wchar_t root[] = {letter, L':', L'\\', 0};
        DWORD other = 0;
        if (::GetVolumeInformationW(root, nullptr, 0, &other, nullptr, nullptr, nullptr, 0) && other == serial)
            return WithoutTrailingSeparators(std::wstring(root, 2) + onVolume);
    }
    return std::wstring();
}

}  // namespace

std::wstring FinalPathOf(HANDLE h) {
    // Room for the longest path there is: a path in the download folder may be longer than
    // MAX_PATH (and not every system says how long when the buffer is short).
    std::wstring final(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(h, &final[0], static_cast<DWORD>(final.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= final.size()) return VolumePathOf(h);
    final.resize(n);
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

namespace {

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

// The lock inside the held folder, opened through the folder's handle, exclusively.
UniqueKernelHandle OpenLock(HANDLE folder, PSECURITY_DESCRIPTOR sd, bool create, LONG& status) {
    return OpenInFolder(folder, kFolderLockNameW, GENERIC_READ | READ_CONTROL | (create ? DELETE : 0), 0,
                        create ? kNtOpenIf : kNtOpen, kNtNonDirectory | kNtOpenReparsePoint, sd, &status);
}

// Whose the lock is that another process holds: true only when nobody but us, SYSTEM and
// Administrators may open it, so that its holder is a run of ours. Read through a handle that
// asks for its access list alone, which no holder's sharing refuses.
bool HeldLockIsOurs(HANDLE folder) {
    LONG status = 0;
    UniqueKernelHandle look = OpenInFolder(folder, kFolderLockNameW, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kNtOpen,
                                           kNtNonDirectory | kNtOpenReparsePoint, nullptr, &status);
    if (!look) return false;
    PSECURITY_DESCRIPTOR sd = ReadSecurity(look.get());
    if (!sd) return false;
    std::unique_ptr<void, LocalFreeDeleter> keep(sd);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    TokenSids sids;
    return ::GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner && sids.Load() && sids.IsOurs(owner) &&
           OnlyUsMayOpen(sd);
}

}  // namespace

LockResult TakeFolderLock(HANDLE folder, HANDLE& lock, bool create) {
    lock = nullptr;
    FolderSecurity security(LockFileSddl());
    if (!security.get()) return LockResult::Unavailable;
    for (int attempt = 0; attempt < 2; ++attempt) {
        LONG status = 0;
        UniqueKernelHandle file = OpenLock(folder, security.descriptor(), create, status);
        if (!file) {
            const DWORD e = ::GetLastError();
            // Another launcher of ours holds it; anyone else's hold is not taken for one.
            if (e == ERROR_SHARING_VIOLATION) return HeldLockIsOurs(folder) ? LockResult::Busy : LockResult::NotOurs;
            if (!create && (status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound))
                return LockResult::Missing;
            // Another user's lock, which lets nobody else open it; or a folder (or anything else
            // that cannot be opened as a file) under the lock's name.
            if (e == ERROR_ACCESS_DENIED) return LockResult::NotOurs;
            LONG there = 0;
            UniqueKernelHandle look = OpenInFolder(folder, kFolderLockNameW, FILE_READ_ATTRIBUTES,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kNtOpen,
                                                   kNtOpenReparsePoint, nullptr, &there);
            return look ? LockResult::NotOurs : LockResult::Unavailable;
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

LockResult TakeFolderLock(const std::string& folder, HANDLE& lock, bool create) {
    lock = nullptr;
    UniqueKernelHandle held(OpenFolderHeld(WithoutTrailingSeparators(AnsiToWide(folder))));
    if (!held) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_SHARING_VIOLATION) return LockResult::Busy;
        if (!create && (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)) return LockResult::Missing;
        return LockResult::Unavailable;
    }
    return TakeFolderLock(held.get(), lock, create);
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

// Looks only, through handles: the folder is listed through the handle held on it, each entry is
// opened through that handle for its attributes and access list (never its content), and a
// subfolder is held (listing, shared without deletion) while it is looked into, so that what is
// judged is what was listed.
FolderContent Inspect(HANDLE folder, const wchar_t* skip, int depth, const TokenSids& sids) {
    if (depth > kMaxFolderDepth) return FolderContent::Foreign;
    FolderContent result = FolderContent::Ours;
    const bool listed = ListFolder(folder, [&](const std::wstring& name, DWORD listedAttributes) {
        if (skip && ::CompareStringOrdinal(name.c_str(), -1, skip, -1, TRUE) == CSTR_EQUAL) return true;
        // A link is never opened, whatever it leads to.
        if (listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            result = FolderContent::Foreign;
            return false;
        }
        const bool listedFolder = listedAttributes & FILE_ATTRIBUTE_DIRECTORY;
        UniqueKernelHandle entry =
            listedFolder
                ? OpenInFolder(folder, name, kFolderHoldAccess, kFolderHoldSharing, kNtOpen, kNtOpenReparsePoint)
                : OpenInFolder(folder, name, READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kNtOpen, kNtOpenReparsePoint);
        if (!entry) {
            result = ContentOfError(::GetLastError());
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(entry.get(), &info)) {
            result = FolderContent::Unknown;
            return false;
        }
        const bool isFolder = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (isFolder != listedFolder) {  // changed since it was listed: looked at again
            result = FolderContent::Unknown;
            return false;
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || (!isFolder && info.nNumberOfLinks > 1)) {
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
            result = Inspect(entry.get(), nullptr, depth + 1, sids);
            return result == FolderContent::Ours;
        }
        return true;
    });
    if (result != FolderContent::Ours) return result;
    return listed ? FolderContent::Ours : ContentOfError(::GetLastError());
}

}  // namespace

FolderContent InspectHeldFolder(HANDLE folder) {
    TokenSids sids;
    if (!sids.Load()) return FolderContent::Unknown;
    return Inspect(folder, kFolderLockNameW, 0, sids);
}

FolderContent InspectFolderContent(const std::wstring& folder) {
    UniqueKernelHandle held(OpenFolderHeld(WithoutTrailingSeparators(folder)));
    if (!held) return ContentOfError(::GetLastError());
    return InspectHeldFolder(held.get());
}

OpenCheck HoldIfStillOurs(const std::wstring& path, UniqueKernelHandle& hold) {
    // Read access shared for reading alone: it takes part in every other open's sharing check,
    // so that nobody can write, rename or remove what is held. (A folder's listing access is
    // the same right.)
    hold.reset(::CreateFileW(ExtendedPath(path).c_str(),
                             FILE_READ_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
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
    // judged whole, through the hold.
    if (ours && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const FolderContent content = InspectHeldFolder(hold.get());
        if (content == FolderContent::Busy) {
            hold.reset();
            return OpenCheck::Busy;
        }
        ours = content == FolderContent::Ours;
    }
    if (!ours) hold.reset();
    return ours ? OpenCheck::Ours : OpenCheck::NotOurs;
}

bool IsEmptyHeldFolder(HANDLE folder) {
    bool empty = true;
    const bool listed = ListFolder(folder, [&](const std::wstring&, DWORD) { return empty = false; });
    return empty && listed;
}
