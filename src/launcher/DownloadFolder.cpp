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
UniqueKernelHandle OpenFolderWaiting(const std::wstring& path, DWORD extraAccess, DWORD& error) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        UniqueKernelHandle h(OpenFolderHeld(path, extraAccess));
        error = h ? ERROR_SUCCESS : ::GetLastError();
        if (h || !IsBusyError(error) || ::GetTickCount() - start >= DownloadFolder::s_busyWaitMs) return h;
        ::Sleep(kBusyStepMs);
    }
}

// What the held folder holds, waiting out entries that another program holds open. The folder
// stays held meanwhile: nobody can move it while this waits.
FolderContent InspectWaiting(HANDLE folder) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        const FolderContent content = InspectHeldFolder(folder);
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

std::wstring ParentOf(const std::wstring& folder) { return folder.substr(0, folder.find_last_of(L'\\')); }
std::wstring NameOf(const std::wstring& folder) { return folder.substr(folder.find_last_of(L'\\') + 1); }

bool Dispose(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof(dispose)) != FALSE;
}

// A folder made inside the held folder above, through its handle, with our access list, and
// held from the moment it exists.
UniqueKernelHandle MakeFolderIn(HANDLE parent, const std::wstring& name) {
    FolderSecurity security(DownloadFolderSddl());
    if (!security.descriptor()) {
        ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return UniqueKernelHandle();
    }
    return OpenInFolder(parent, name, kFolderHoldAccess, kFolderHoldSharing, kNtCreate,
                        kNtDirectory | kNtOpenReparsePoint, security.descriptor());
}

}  // namespace

void (*DownloadFolder::s_beforeActing)(const std::wstring& folder) = NoHook;
void (*DownloadFolder::s_beforeTightening)(const std::wstring& folder) = NoHook;
DWORD DownloadFolder::s_busyWaitMs = 3000;
bool (*DownloadFolder::s_volumeKeepsAccessLists)(HANDLE folder) = nullptr;
const wchar_t DownloadFolder::kMovedAsideRecordName[] = L"MirelLauncher.aside";

DownloadFolder::State DownloadFolder::Take(const std::string& path, Use use) {
    if (IsHeld()) return m_state;  // held since an earlier run
    const std::wstring folder = WithoutTrailingSeparators(FullPath(AnsiToWide(path)));
    m_path = folder;
    m_state = Failed;
    if (folder.size() <= 3 || folder.find(L'\\') == std::wstring::npos) return m_state;
    // The game's own files are there: an installed game needs nothing from this folder, and a
    // download goes elsewhere.
    if (!m_gameFolder.empty() && FoldersOverlap(folder, AnsiToWide(m_gameFolder))) return m_state = GameFolder;
    if (use == AsItStands) {
        if (::GetFileAttributesW(ExtendedPath(folder).c_str()) == INVALID_FILE_ATTRIBUTES) return m_state = Absent;
        return m_state = Hold(folder, UniqueKernelHandle(), use);
    }
    FolderSecurity security(DownloadFolderSddl());
    if (!security.get()) return m_state;
    // The folder above is made when missing (a deeper gap is not filled), then held and checked
    // before anything is made in it. An existing one keeps its access list: other programs and
    // users may share it.
    const std::wstring parent = ParentOf(folder);
    if (::GetFileAttributesW(ExtendedPath(parent).c_str()) == INVALID_FILE_ATTRIBUTES)
        ::CreateDirectoryW(ExtendedPath(parent).c_str(), security.get());
    const State above = HoldParent(parent);
    if (above != Trusted) {
        Release();
        return m_state = above;
    }
    // Made through the handle held on the folder above, and held from the start.
    UniqueKernelHandle made = MakeFolderIn(m_parent.get(), NameOf(folder));
    if (made) return m_state = Hold(folder, std::move(made), use);
    const DWORD e = ::GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return m_state = Hold(folder, UniqueKernelHandle(), use);
    Release();
    return m_state = StateOfOpenError(e);
}

// The folder above, held without sharing deletion and checked to be a plain folder where its
// name says. Trusted here means only that: held.
DownloadFolder::State DownloadFolder::HoldParent(const std::wstring& parent) {
    DWORD e = ERROR_SUCCESS;
    m_parent = OpenFolderWaiting(parent, 0, e);
    if (!m_parent) return StateOfOpenError(e);
    if (!IsPlainFolder(m_parent.get(), parent) || !FinalPathIs(m_parent.get(), parent)) {
        m_parent.reset();
        return Refused;
    }
    return Trusted;
}

// Both levels are held as themselves, without a trailing separator (which would lead through a
// link), and the folder's handle must end where its name says. A folder we made (`made`, the
// handle it was made through) is ours; one that was there is used when it and everything in it
// are ours alone, looked at through the handle held on it. Otherwise, for a download, a folder
// of ours that is empty is tightened, and any other folder of ours is moved aside whole.
DownloadFolder::State DownloadFolder::Hold(const std::wstring& folder, UniqueKernelHandle made, Use use) {
    const bool created = static_cast<bool>(made);
    m_lock.reset();
    m_folder.reset();
    if (!m_parent) {
        const State above = HoldParent(ParentOf(folder));
        if (above != Trusted) {
            Release();
            return above;
        }
    }
    if (created) {
        m_folder = std::move(made);
    } else {
        DWORD e = ERROR_SUCCESS;
        m_folder = OpenFolderWaiting(folder, use == ForDownload ? WRITE_DAC : 0, e);
        if (!m_folder) {
            Release();
            return StateOfOpenError(e);
        }
    }
    // A junction or link would let whoever made it choose the folder; a file is no folder.
    if (!IsPlainFolder(m_folder.get(), folder) || !FinalPathIs(m_folder.get(), folder)) {
        Release();
        return Refused;
    }
    const FolderTrust trust = ReadFolderTrust(m_folder.get());
    // Another user's folder (or one whose owner cannot even be read) is theirs: never moved.
    if (!trust.read || !trust.ownerTrusted) {
        Release();
        return NotOurs;
    }
    // What it holds is judged before anything is made in it; the lock's entry is judged by the
    // handle that takes it. What another program holds open is waited out, then reported.
    bool lockInTheWay = false;
    if (trust.trusted()) {
        const FolderContent content = created ? FolderContent::Ours : InspectWaiting(m_folder.get());
        if (content == FolderContent::Busy || content == FolderContent::Unknown) {
            Release();
            return InUse;
        }
        if (content == FolderContent::Ours) {
            const State locked = TakeLock(use);
            if (locked != Untrusted) return locked;
            lockInTheWay = true;
        }
    }
    // A volume that keeps no access lists (FAT32) cannot be made ours alone: moving or
    // tightening would change nothing.
    if (use == AsItStands || created || (!trust.trusted() && !VolumeKeepsAccessLists(m_folder.get()))) {
        Release();
        return Untrusted;
    }
    s_beforeActing(folder);
    if (!trust.trusted() && !lockInTheWay && IsEmptyHeldFolder(m_folder.get())) {
        s_beforeTightening(folder);
        if (TightenFolder(m_folder.get()) && ReadFolderTrust(m_folder.get()).trusted()) {
            // Whatever slipped in between the look and the tightening was made while others could
            // write: looked at again.
            const FolderContent content = InspectWaiting(m_folder.get());
            if (content == FolderContent::Ours) {
                const State locked = TakeLock(use);
                if (locked != Untrusted) return locked;
            } else if (content == FolderContent::Busy || content == FolderContent::Unknown) {
                Release();
                return InUse;
            }
        } else {
            // Its access list would not change (Wine, for one, keeps a folder's mode under a
            // folder everyone may write): an empty folder holds nothing of anyone's, and the system
            // removes a folder only while it is empty, so it is made anew.
            UniqueKernelHandle same = ReopenSame(DELETE);
            if (same && IsEmptyHeldFolder(same.get()) && Dispose(same.get())) {
                same.reset();
                return MakeAnew(folder);
            }
            if (same) m_folder = std::move(same);
        }
    }
    if (!MoveAside(folder)) {
        const DWORD moveError = ::GetLastError();
        // Windows does not move a folder in which another program has a file open: most likely
        // a launcher's lock. Only a lock that nobody but us may open is another launcher of
        // ours; anything else that keeps the folder in place sends the download elsewhere.
        HANDLE probe = nullptr;
        const bool oursBusy = m_folder && TakeFolderLock(m_folder.get(), probe, false) == LockResult::Busy;
        if (probe) ::CloseHandle(probe);
        Release();
        if (oursBusy) return Busy;
        return moveError == ERROR_ACCESS_DENIED ? NotOurs : IsBusyError(moveError) ? InUse : Untrusted;
    }
    const State fresh = MakeAnew(folder);
    if (fresh == Trusted) WriteMovedAsideRecord();
    return fresh;
}

// The lock, for a folder judged ours, taken through the folder's handle: Trusted once held (or,
// used as it stands, when there is none: nothing is made), and the paths proven still to name
// what is held; Busy when another launcher of ours holds it, Untrusted when something else
// stands under its name or holds it.
DownloadFolder::State DownloadFolder::TakeLock(Use use) {
    HANDLE lock = nullptr;
    const LockResult locked = TakeFolderLock(m_folder.get(), lock, use == ForDownload);
    m_lock.reset(lock);
    if (locked == LockResult::Held || locked == LockResult::Missing) {
        // The proof that every later act by the folder's path reaches the folder judged here.
        if (!StillInPlace()) {
            DiagnosticLine(stderr, "%s: not used, it was moved or replaced while it was being judged\n",
                           WideToAnsi(m_path).c_str());
            Release();
            return Refused;
        }
        if (use == ForDownload && m_movedAside.empty()) ReadMovedAsideRecord();
        return Trusted;
    }
    if (locked == LockResult::Busy) {
        Release();
        return Busy;
    }
    return Untrusted;
}

// The folder made afresh, through the handle held on the folder above, with the protected
// access list, where one was removed or moved aside; the folder above stays held meanwhile.
DownloadFolder::State DownloadFolder::MakeAnew(const std::wstring& folder) {
    m_lock.reset();
    m_folder.reset();
    UniqueKernelHandle made = MakeFolderIn(m_parent.get(), NameOf(folder));
    if (!made) {
        Release();
        return Untrusted;
    }
    return Hold(folder, std::move(made), ForDownload);
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

// The held folder opened again with `access` (the hold does not carry the right to rename or
// remove: a folder open for that cannot be listed by others, the shell included; and the hold's
// own sharing refuses that right to every other handle, ours too), by its name inside the folder
// above, through the handle held on that one. It must be the same folder (volume and file index);
// the hold is given up for it. Empty when it is not, or cannot be opened.
UniqueKernelHandle DownloadFolder::ReopenSame(DWORD access) {
    BY_HANDLE_FILE_INFORMATION judged{}, opened{};
    if (!m_folder || !m_parent || !::GetFileInformationByHandle(m_folder.get(), &judged)) return UniqueKernelHandle();
    m_folder.reset();
    UniqueKernelHandle h = OpenInFolder(m_parent.get(), NameOf(m_path), kFolderHoldAccess | access, kFolderHoldSharing,
                                        kNtOpen, kNtDirectory | kNtOpenReparsePoint);
    if (!h || !::GetFileInformationByHandle(h.get(), &opened) ||
        opened.dwVolumeSerialNumber != judged.dwVolumeSerialNumber || opened.nFileIndexHigh != judged.nFileIndexHigh ||
        opened.nFileIndexLow != judged.nFileIndexLow)
        return UniqueKernelHandle();
    return h;
}

// The folder is renamed through the handle held on it: nothing in it is opened, changed or
// deleted, and it stays the player's to look into. It takes the moved-aside folder's name, or,
// when an earlier one is there and is ours alone (owned by us, nobody else may change it), goes
// inside it under the time of the move; an empty earlier one of ours alone is removed first.
// Where that name is taken by anything else (another user's folder, one others may change, a
// file, a link) it goes beside, under a name of its own with the time of the move.
bool DownloadFolder::MoveAside(const std::wstring& folder) {
    const std::wstring base = NameOf(folder);
    const std::wstring asideName = MovedAsideName(base);
    const std::wstring above = ParentOf(folder) + L"\\";
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"%04u-%02u-%02u %02u.%02u.%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                  now.wSecond);

    UniqueKernelHandle mover = ReopenSame(DELETE);
    if (!mover) return false;
    auto moved = [&](const std::wstring& to) {
        m_movedAside = to;
        DiagnosticLine(stderr, "%s: moved aside to %s, it held what someone else may have put there; nothing in it was opened or deleted\n",
                       WideToAnsi(folder).c_str(), WideToAnsi(m_movedAside).c_str());
        return true;
    };
    if (RenameBeside(mover.get(), m_parent.get(), asideName)) return moved(above + asideName);
    DWORD e = ::GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) {
        // The earlier moved-aside folder, opened as itself through the folder above and held:
        // used only when it is a plain folder of ours alone.
        UniqueKernelHandle earlier = OpenInFolder(m_parent.get(), asideName, kFolderHoldAccess | FILE_ADD_SUBDIRECTORY,
                                                  kFolderHoldSharing, kNtOpen, kNtOpenReparsePoint);
        if (earlier && IsPlainFolder(earlier.get(), above + asideName) && ReadFolderTrust(earlier.get()).trusted()) {
            if (IsEmptyHeldFolder(earlier.get())) {
                // Nothing in it to keep: it goes, and this folder takes its name.
                BY_HANDLE_FILE_INFORMATION judged{};
                ::GetFileInformationByHandle(earlier.get(), &judged);
                earlier.reset();
                UniqueKernelHandle remover =
                    OpenInFolder(m_parent.get(), asideName, kFolderHoldAccess | DELETE, kFolderHoldSharing, kNtOpen,
                                 kNtDirectory | kNtOpenReparsePoint);
                BY_HANDLE_FILE_INFORMATION opened{};
                if (remover && ::GetFileInformationByHandle(remover.get(), &opened) &&
                    opened.dwVolumeSerialNumber == judged.dwVolumeSerialNumber &&
                    opened.nFileIndexHigh == judged.nFileIndexHigh && opened.nFileIndexLow == judged.nFileIndexLow &&
                    IsEmptyHeldFolder(remover.get()) && Dispose(remover.get())) {
                    remover.reset();
                    if (RenameBeside(mover.get(), m_parent.get(), asideName)) return moved(above + asideName);
                }
            } else if (RenameBeside(mover.get(), earlier.get(), base + L" " + stamp)) {
                return moved(above + asideName + L"\\" + base + L" " + stamp);
            }
        }
        // The name is taken by something else, or by a folder that is not ours alone: beside,
        // under a name of its own.
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
                   WideToAnsi(folder).c_str());
    ::SetLastError(e);
    return false;
}

// Written through the fresh folder's handle: where the folder went, so that a later start reads
// it back if this one does not get to (a failed fetch, a close during the copy).
void DownloadFolder::WriteMovedAsideRecord() {
    if (m_movedAside.empty() || !m_folder) return;
    UniqueKernelHandle record = OpenInFolder(m_folder.get(), kMovedAsideRecordName, GENERIC_WRITE, 0, kNtOverwriteIf,
                                             kNtNonDirectory | kNtOpenReparsePoint);
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(m_movedAside.size() * sizeof(wchar_t));
    if (!record || !::WriteFile(record.get(), m_movedAside.data(), size, &written, nullptr) || written != size)
        DiagnosticLine(stderr, "%s: where the folder was moved aside is not recorded; a later start will not read it back\n",
                       WideToAnsi(m_path).c_str());
}

// The record of an earlier life's move, read through the held folder's handle (the folder and
// the record are ours alone: the folder was judged so). It must name a folder beside this one.
void DownloadFolder::ReadMovedAsideRecord() {
    UniqueKernelHandle record = OpenInFolder(m_folder.get(), kMovedAsideRecordName, GENERIC_READ, FILE_SHARE_READ,
                                             kNtOpen, kNtNonDirectory | kNtOpenReparsePoint);
    LARGE_INTEGER size{};
    if (!record || !::GetFileSizeEx(record.get(), &size) || size.QuadPart <= 0 || size.QuadPart > 65536 ||
        size.QuadPart % sizeof(wchar_t))
        return;
    std::wstring path(static_cast<size_t>(size.QuadPart / sizeof(wchar_t)), L'\0');
    DWORD got = 0;
    if (!::ReadFile(record.get(), &path[0], static_cast<DWORD>(size.QuadPart), &got, nullptr) ||
        got != static_cast<DWORD>(size.QuadPart) || path.find(L'\0') != std::wstring::npos)
        return;
    const std::wstring above = ParentOf(m_path) + L"\\" + MovedAsideName(NameOf(m_path));
    const std::wstring beside = ParentOf(m_path) + L"\\" + NameOf(m_path) + L" (moved aside ";
    if (path.compare(0, above.size(), above) == 0 || path.compare(0, beside.size(), beside) == 0) m_movedAside = path;
}

void DownloadFolder::MovedAsideReadBack() {
    if (!m_folder) return;
    UniqueKernelHandle record = OpenInFolder(m_folder.get(), kMovedAsideRecordName, DELETE, 0, kNtOpen,
                                             kNtNonDirectory | kNtOpenReparsePoint);
    if (record) Dispose(record.get());
}

bool DownloadFolder::StillInPlace() const {
    return m_folder && m_parent && PathNames(m_path, m_folder.get()) && PathNames(ParentOf(m_path), m_parent.get());
}

bool DownloadFolder::StillTrusted() const {
    return m_state == Trusted && m_folder && m_lock && ReadFolderTrust(m_folder.get()).trusted() && StillInPlace();
}

void DownloadFolder::Release() {
    m_lock.reset();
    m_folder.reset();
    m_parent.reset();
}
