#include "launcher/DownloadFolder.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/CodePage.h"
#include "common/Diagnostics.h"
#include "common/FilePaths.h"
#include "framework/handles.h"

namespace {

void NoHook(const std::wstring&) {}

}  // namespace

void (*DownloadFolder::s_beforeActing)(const std::wstring& folder) = NoHook;

DownloadFolder::State DownloadFolder::Take(const std::string& path, Use use) {
    if (IsHeld()) return m_state;  // held since an earlier run
    const std::string folder = WithoutTrailingSeparators(path);
    m_state = Failed;
    if (!m_gameFolder.empty() && FoldersOverlap(AnsiToWide(folder), AnsiToWide(m_gameFolder))) {
        // The game's own files are there: an installed game needs nothing from this folder,
        // and a download may use it only as it stands.
        if (use == AsItStands) return m_state = GameFolder;
        use = AsItStands;
    }
    if (use == AsItStands) {
        if (::GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return m_state = Absent;
        return Hold(folder, false, use);
    }
    FolderSecurity security(DownloadFolderSddl());
    if (!security.get()) return m_state;
    if (::CreateDirectoryA(folder.c_str(), security.get())) return HoldFresh(folder);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) return Hold(folder, false, use);
    // The folder above may be missing too; a deeper gap is not filled. An existing folder above
    // keeps its access list: other programs and users may share it.
    const std::string parent = folder.substr(0, folder.find_last_of('\\'));
    if (!::CreateDirectoryA(parent.c_str(), security.get())) return m_state;
    if (!::CreateDirectoryA(folder.c_str(), security.get())) return m_state;
    return HoldFresh(folder);
}

DownloadFolder::State DownloadFolder::HoldFresh(const std::string& folder) { return Hold(folder, true, ForDownload); }

// Both levels are opened as themselves, without a trailing separator (which would lead through a
// link), and the folder's handle must end where its name says. A folder we made is ours; one
// that was there is used when it and everything in it are ours alone. Otherwise, for a download,
// a folder of ours that is empty is tightened, and any other is moved aside whole.
DownloadFolder::State DownloadFolder::Hold(const std::string& folder, bool created, Use use) {
    Release();
    const std::string parent = folder.substr(0, folder.find_last_of('\\'));
    m_parent.reset(OpenFolderHeld(parent));
    m_folder.reset(OpenFolderHeld(folder, use == ForDownload ? WRITE_DAC : 0));
    // A junction or link at either level would let whoever made it choose the folder.
    if (!m_folder || !IsPlainFolder(m_folder.get(), folder) || !m_parent || !IsPlainFolder(m_parent.get(), parent) ||
        !FinalPathIs(m_folder.get(), FullPath(AnsiToWide(folder)))) {
        Release();
        return m_state = Refused;
    }
    const std::wstring wideFolder = AnsiToWide(folder);
    FolderTrust trust = ReadFolderTrust(m_folder.get());
    // What it holds is judged before anything is made in it; the lock's entry is judged by the
    // handle that takes it.
    if (trust.trusted() && (created || InspectFolderContent(wideFolder) == FolderContent::Ours)) {
        HANDLE lock = nullptr;
        const LockResult locked = TakeFolderLock(folder, lock);
        m_lock.reset(lock);
        if (locked == LockResult::Held) return m_state = Trusted;
        if (locked == LockResult::Busy) {
            Release();
            return m_state = Busy;
        }
    }
    if (use == AsItStands || created) {
        Release();
        return m_state = Untrusted;
    }
    s_beforeActing(wideFolder);
    if (!trust.trusted() && trust.read && trust.ownedByUs && IsEmptyFolder(wideFolder)) {
        if (TightenFolder(m_folder.get()) && ReadFolderTrust(m_folder.get()).trusted()) {
            HANDLE lock = nullptr;
            const LockResult locked = TakeFolderLock(folder, lock);
            m_lock.reset(lock);
            if (locked == LockResult::Held) return m_state = Trusted;
            Release();
            return m_state = locked == LockResult::Busy ? Busy : Untrusted;
        }
        // Its access list would not change (Wine, for one, keeps a folder's mode under a folder
        // everyone may write): an empty folder holds nothing of anyone's, and the system removes
        // a folder only while it is empty, so it is made anew.
        UniqueKernelHandle same = ReopenSame(folder, DELETE);
        FILE_DISPOSITION_INFO dispose{};
        dispose.DeleteFile = TRUE;
        if (same && ::SetFileInformationByHandle(same.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
            same.reset();
            return MakeAnew(folder);
        }
        if (same) m_folder = std::move(same);
    }
    if (!MoveAside(folder)) {
        // Windows does not move a folder in which another program has a file open: most likely
        // another launcher's lock.
        UniqueKernelHandle probe(::CreateFileW((wideFolder + L"\\" + kFolderLockNameW).c_str(), FILE_READ_DATA, 0,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const bool busy = !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
        Release();
        return m_state = busy ? Busy : Untrusted;
    }
    return MakeAnew(folder);
}

// The folder made afresh, with the protected access list, where one was removed or moved aside.
DownloadFolder::State DownloadFolder::MakeAnew(const std::string& folder) {
    Release();
    FolderSecurity security(DownloadFolderSddl());
    if (!security.get() || !::CreateDirectoryA(folder.c_str(), security.get())) return m_state = Untrusted;
    return HoldFresh(folder);
}

namespace {

// Renames what `h` is open on to `name` inside the folder `parent` is open on: both by handle, no
// path is looked up again. False with the last error set.
bool RenameBeside(HANDLE h, HANDLE parent, const std::wstring& name) {
    struct RenameInformation {
        BOOLEAN ReplaceIfExists;
        HANDLE RootDirectory;
        ULONG FileNameLength;
        WCHAR FileName[1];
    };
    struct IoStatus {
        LONG_PTR status;
        ULONG_PTR information;
    };
    using SetInformation = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
    using ToDos = ULONG(WINAPI*)(LONG);
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    auto set = reinterpret_cast<SetInformation>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtSetInformationFile")));
    auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (!set || !toDos) return false;
    constexpr int kFileRenameInformation = 10;
    std::vector<BYTE> buffer(sizeof(RenameInformation) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = parent;
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.c_str(), rename->FileNameLength);
    IoStatus io{};
    const LONG status = set(h, &io, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
    if (status >= 0) return true;
    ::SetLastError(toDos(status));
    return false;
}

}  // namespace

// The held folder opened again with `access` (the held handle does not carry the right to rename
// or remove: a folder open for that cannot be listed by others, the shell included). It must be
// the same folder; the held handle is given up for it. Empty when it is not, or cannot be opened.
UniqueKernelHandle DownloadFolder::ReopenSame(const std::string& folder, DWORD access) {
    BY_HANDLE_FILE_INFORMATION judged{}, opened{};
    if (!m_folder || !::GetFileInformationByHandle(m_folder.get(), &judged)) return UniqueKernelHandle();
    m_folder.reset();
    UniqueKernelHandle h(OpenFolderHeld(folder, access));
    if (!h || !::GetFileInformationByHandle(h.get(), &opened) ||
        opened.dwVolumeSerialNumber != judged.dwVolumeSerialNumber || opened.nFileIndexHigh != judged.nFileIndexHigh ||
        opened.nFileIndexLow != judged.nFileIndexLow)
        return UniqueKernelHandle();
    return h;
}

// The folder is renamed through the handle held on it, to a name beside it that says what it is:
// nothing in it is opened, changed or deleted, and it stays the player's to look into.
bool DownloadFolder::MoveAside(const std::string& folder) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const std::wstring wideFolder = AnsiToWide(folder);
    const std::wstring base = wideFolder.substr(wideFolder.find_last_of(L'\\') + 1);
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L" (moved aside %04u-%02u-%02u %02u.%02u.%02u)", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    UniqueKernelHandle mover = ReopenSame(folder, DELETE);
    for (int attempt = 1; mover && attempt <= 9; ++attempt) {
        std::wstring name = base + stamp;
        if (attempt > 1) name += L" " + std::to_wstring(attempt);
        if (RenameBeside(mover.get(), m_parent.get(), name)) {
            const std::wstring shown = FullPath(wideFolder);
            m_movedAside = shown.substr(0, shown.find_last_of(L'\\') + 1) + name;
            DiagnosticLine(stderr, "%s: moved aside to %s, it held what someone else may have put there; nothing in it was opened or deleted\n",
                              WideToAnsi(shown).c_str(), WideToAnsi(m_movedAside).c_str());
            return true;
        }
        const DWORD e = ::GetLastError();
        if (e != ERROR_ALREADY_EXISTS && e != ERROR_FILE_EXISTS) break;
    }
    DiagnosticLine(stderr, "%s: not used, it holds what someone else may have put there and cannot be moved aside\n",
                      WideToAnsi(FullPath(wideFolder)).c_str());
    return false;
}

bool DownloadFolder::StillTrusted() const {
    return m_state == Trusted && m_folder && m_lock && ReadFolderTrust(m_folder.get()).trusted();
}

void DownloadFolder::Release() {
    m_lock.reset();
    m_folder.reset();
    m_parent.reset();
}
