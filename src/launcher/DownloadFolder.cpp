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

constexpr DWORD kBusyStepMs = 100;

bool IsBusyError(DWORD e) { return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION; }

bool VolumeKeepsAccessLists(HANDLE folder) {
    if (DownloadFolder::s_volumeKeepsAccessLists) return DownloadFolder::s_volumeKeepsAccessLists(folder);
    DWORD flags = 0;
    if (!::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return true;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Opens a folder as OpenFolderHeld does, waiting out another program that holds it open
// without sharing. `error` tells why it could not be opened.
UniqueKernelHandle OpenFolderWaiting(const std::string& path, DWORD extraAccess, DWORD& error) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        UniqueKernelHandle h(OpenFolderHeld(path, extraAccess));
        error = h ? ERROR_SUCCESS : ::GetLastError();
        if (h || !IsBusyError(error) || ::GetTickCount() - start >= DownloadFolder::s_busyWaitMs) return h;
        ::Sleep(kBusyStepMs);
    }
}

// What the folder holds, waiting out entries that another program holds open.
FolderContent InspectWaiting(const std::wstring& folder) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const FolderContent content = InspectFolderContent(folder);
        if (content != FolderContent::Busy && content != FolderContent::Unknown) return content;
        if (::GetTickCount() - start >= DownloadFolder::s_busyWaitMs) return content;
        ::Sleep(kBusyStepMs);
    }
}

DownloadFolder::State StateOfOpenError(DWORD e) {
    if (IsBusyError(e)) return DownloadFolder::InUse;
    if (e == ERROR_ACCESS_DENIED) return DownloadFolder::NotOurs;
    return DownloadFolder::Failed;
}

std::string ParentOf(const std::string& folder) { return folder.substr(0, folder.find_last_of('\\')); }

}  // namespace

void (*DownloadFolder::s_beforeActing)(const std::wstring& folder) = NoHook;
void (*DownloadFolder::s_beforeTightening)(const std::wstring& folder) = NoHook;
DWORD DownloadFolder::s_busyWaitMs = 3000;
bool (*DownloadFolder::s_volumeKeepsAccessLists)(HANDLE folder) = nullptr;

DownloadFolder::State DownloadFolder::Take(const std::string& path, Use use) {
    if (IsHeld()) return m_state;  // held since an earlier run
    const std::string folder = WithoutTrailingSeparators(path);
    m_state = Failed;
    // The game's own files are there: an installed game needs nothing from this folder, and a
    // download goes elsewhere.
    if (!m_gameFolder.empty() && FoldersOverlap(AnsiToWide(folder), AnsiToWide(m_gameFolder)))
        return m_state = GameFolder;
    if (use == AsItStands) {
        if (::GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return m_state = Absent;
        return Hold(folder, false, use);
    }
    FolderSecurity security(DownloadFolderSddl());
    if (!security.get()) return m_state;
    // The folder above is made when missing (a deeper gap is not filled), then held and checked
    // before anything is made in it. An existing one keeps its access list: other programs and
    // users may share it.
    const std::string parent = ParentOf(folder);
    if (::GetFileAttributesA(parent.c_str()) == INVALID_FILE_ATTRIBUTES)
        ::CreateDirectoryA(parent.c_str(), security.get());
    const State above = HoldParent(parent);
    if (above != Trusted) {
        Release();
        return m_state = above;
    }
    if (::CreateDirectoryA(folder.c_str(), security.get())) return HoldFresh(folder);
    const DWORD e = ::GetLastError();
    if (e == ERROR_ALREADY_EXISTS) return Hold(folder, false, use);
    Release();
    return m_state = StateOfOpenError(e);
}

// The folder above, held without sharing deletion and checked to be a plain folder where its
// name says. Trusted here means only that: held.
DownloadFolder::State DownloadFolder::HoldParent(const std::string& parent) {
    DWORD e = ERROR_SUCCESS;
    m_parent = OpenFolderWaiting(parent, 0, e);
    if (!m_parent) return StateOfOpenError(e);
    if (!IsPlainFolder(m_parent.get(), parent) || !FinalPathIs(m_parent.get(), FullPath(AnsiToWide(parent)))) {
        m_parent.reset();
        return Refused;
    }
    return Trusted;
}

DownloadFolder::State DownloadFolder::HoldFresh(const std::string& folder) { return Hold(folder, true, ForDownload); }

// Both levels are opened as themselves, without a trailing separator (which would lead through a
// link), and the folder's handle must end where its name says. A folder we made is ours; one
// that was there is used when it and everything in it are ours alone. Otherwise, for a download,
// a folder of ours that is empty is tightened, and any other folder of ours is moved aside whole.
DownloadFolder::State DownloadFolder::Hold(const std::string& folder, bool created, Use use) {
    m_lock.reset();
    m_folder.reset();
    if (!m_parent) {
        const State above = HoldParent(ParentOf(folder));
        if (above != Trusted) {
            Release();
            return m_state = above;
        }
    }
    DWORD e = ERROR_SUCCESS;
    m_folder = OpenFolderWaiting(folder, use == ForDownload ? WRITE_DAC : 0, e);
    if (!m_folder) {
        Release();
        return m_state = StateOfOpenError(e);
    }
    // A junction or link would let whoever made it choose the folder; a file is no folder.
    if (!IsPlainFolder(m_folder.get(), folder) || !FinalPathIs(m_folder.get(), FullPath(AnsiToWide(folder)))) {
        Release();
        return m_state = Refused;
    }
    const std::wstring wideFolder = AnsiToWide(folder);
    const FolderTrust trust = ReadFolderTrust(m_folder.get());
    // Another user's folder (or one whose owner cannot even be read) is theirs: never moved.
    if (!trust.read || !trust.ownerTrusted) {
        Release();
        return m_state = NotOurs;
    }
    // What it holds is judged before anything is made in it; the lock's entry is judged by the
    // handle that takes it. What another program holds open is waited out, then reported.
    bool lockInTheWay = false;
    if (trust.trusted()) {
        const FolderContent content = created ? FolderContent::Ours : InspectWaiting(wideFolder);
        if (content == FolderContent::Busy || content == FolderContent::Unknown) {
            Release();
            return m_state = InUse;
        }
        if (content == FolderContent::Ours) {
            const State locked = TakeLock(folder, use);
            if (locked != Untrusted) return m_state = locked;
            lockInTheWay = true;
        }
    }
    // A volume that keeps no access lists (FAT32) cannot be made ours alone: moving or
    // tightening would change nothing.
    if (use == AsItStands || created || (!trust.trusted() && !VolumeKeepsAccessLists(m_folder.get()))) {
        Release();
        return m_state = Untrusted;
    }
    s_beforeActing(wideFolder);
    if (!trust.trusted() && !lockInTheWay && IsEmptyFolder(wideFolder)) {
        s_beforeTightening(wideFolder);
        if (TightenFolder(m_folder.get()) && ReadFolderTrust(m_folder.get()).trusted()) {
            // Whatever slipped in between the look and the tightening was made while others could
            // write: looked at again.
            const FolderContent content = InspectWaiting(wideFolder);
            if (content == FolderContent::Ours) {
                const State locked = TakeLock(folder, use);
                if (locked != Untrusted) return m_state = locked;
            } else if (content == FolderContent::Busy || content == FolderContent::Unknown) {
                Release();
                return m_state = InUse;
            }
        } else {
            // Its access list would not change (Wine, for one, keeps a folder's mode under a
            // folder everyone may write): an empty folder holds nothing of anyone's, and the system
            // removes a folder only while it is empty, so it is made anew.
            UniqueKernelHandle same = ReopenSame(folder, DELETE);
            FILE_DISPOSITION_INFO dispose{};
            dispose.DeleteFile = TRUE;
            if (same && ::SetFileInformationByHandle(same.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
                same.reset();
                return MakeAnew(folder);
            }
            if (same) m_folder = std::move(same);
        }
    }
    if (!MoveAside(folder)) {
        const DWORD moveError = ::GetLastError();
        // Windows does not move a folder in which another program has a file open: most likely
        // another launcher's lock.
        UniqueKernelHandle probe(::CreateFileW((wideFolder + L"\\" + kFolderLockNameW).c_str(), FILE_READ_DATA, 0,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const bool busy = !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
        Release();
        if (busy) return m_state = Busy;
        return m_state = moveError == ERROR_ACCESS_DENIED ? NotOurs : IsBusyError(moveError) ? InUse : Untrusted;
    }
    return MakeAnew(folder);
}

// The lock, for a folder judged ours: Trusted once held (or, used as it stands, when there is
// none: nothing is made), Busy when another launcher holds it, Untrusted when something else
// stands under its name.
DownloadFolder::State DownloadFolder::TakeLock(const std::string& folder, Use use) {
    HANDLE lock = nullptr;
    const LockResult locked = TakeFolderLock(folder, lock, use == ForDownload);
    m_lock.reset(lock);
    if (locked == LockResult::Held || locked == LockResult::Missing) return Trusted;
    if (locked == LockResult::Busy) {
        Release();
        return Busy;
    }
    return Untrusted;
}

// The folder made afresh, with the protected access list, where one was removed or moved aside;
// the folder above stays held meanwhile.
DownloadFolder::State DownloadFolder::MakeAnew(const std::string& folder) {
    m_lock.reset();
    m_folder.reset();
    FolderSecurity security(DownloadFolderSddl());
    if (!security.get() || !::CreateDirectoryA(folder.c_str(), security.get())) {
        Release();
        return m_state = Untrusted;
    }
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

// The folder is renamed through the handle held on it: nothing in it is opened, changed or
// deleted, and it stays the player's to look into. There is one moved-aside folder beside it: the
// folder takes that name, or, when an earlier one holds something, goes inside it under the
// time of the move; an empty earlier one is removed first. Only where that name is taken by
// something else (a file, a link) does it go beside under a name of its own.
bool DownloadFolder::MoveAside(const std::string& folder) {
    const std::wstring wideFolder = AnsiToWide(folder);
    const std::wstring base = wideFolder.substr(wideFolder.find_last_of(L'\\') + 1);
    const std::wstring asideName = MovedAsideName(base);
    const std::wstring shown = FullPath(wideFolder);
    const std::wstring above = shown.substr(0, shown.find_last_of(L'\\') + 1);
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"%04u-%02u-%02u %02u.%02u.%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                  now.wSecond);

    UniqueKernelHandle mover = ReopenSame(folder, DELETE);
    if (!mover) return false;
    auto moved = [&](const std::wstring& to) {
        m_movedAside = to;
        DiagnosticLine(stderr, "%s: moved aside to %s, it held what someone else may have put there; nothing in it was opened or deleted\n",
                       WideToAnsi(shown).c_str(), WideToAnsi(m_movedAside).c_str());
        return true;
    };
    if (RenameBeside(mover.get(), m_parent.get(), asideName)) return moved(above + asideName);
    DWORD e = ::GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) {
        // The earlier moved-aside folder, held as itself: a plain folder where its name says.
        const std::string earlierPath = WideToAnsi(above + asideName);
        UniqueKernelHandle earlier(OpenFolderHeld(earlierPath, FILE_ADD_SUBDIRECTORY));
        if (earlier && IsPlainFolder(earlier.get(), earlierPath) && FinalPathIs(earlier.get(), above + asideName)) {
            if (IsEmptyFolder(above + asideName)) {
                // Nothing in it to keep: it goes, and this folder takes its name.
                earlier.reset();
                UniqueKernelHandle remover(OpenFolderHeld(earlierPath, DELETE));
                FILE_DISPOSITION_INFO dispose{};
                dispose.DeleteFile = TRUE;
                if (remover && IsPlainFolder(remover.get(), earlierPath) &&
                    ::SetFileInformationByHandle(remover.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
                    remover.reset();
                    if (RenameBeside(mover.get(), m_parent.get(), asideName)) return moved(above + asideName);
                }
            } else if (RenameBeside(mover.get(), earlier.get(), base + L" " + stamp)) {
                return moved(above + asideName + L"\\" + base + L" " + stamp);
            }
        }
        // The name is taken by something else: beside, under a name of its own.
        for (int attempt = 1; attempt <= 9; ++attempt) {
            std::wstring name = base + L" (moved aside " + stamp + L")";
            if (attempt > 1) name += L" " + std::to_wstring(attempt);
            if (RenameBeside(mover.get(), m_parent.get(), name)) return moved(above + name);
            e = ::GetLastError();
            if (e != ERROR_ALREADY_EXISTS && e != ERROR_FILE_EXISTS) break;
        }
    }
    m_folder = std::move(mover);
    DiagnosticLine(stderr, "%s: not used, it holds what someone else may have put there and cannot be moved aside\n",
                   WideToAnsi(shown).c_str());
    ::SetLastError(e);
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
