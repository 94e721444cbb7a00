// Who may change what the launcher opens from its download folder: access lists, owners, links
// and names, judged through handles; the lock file that one launcher holds there.
#pragma once
#include <windows.h>

#include <string>

#include "framework/handles.h"

// True when two folders are one, or one lies inside the other, compared by where they really
// are (links resolved) as far as they exist.
bool FoldersOverlap(const std::wstring& a, const std::wstring& b);

// The access list the launcher gives the folders it creates: protected (nothing inherited from
// the drive), full control for the current user, SYSTEM and Administrators, read and execute
// for Users, inherited by everything inside. Empty when the current user cannot be read.
std::wstring DownloadFolderSddl();
// The lock file's access list: the current user, SYSTEM and Administrators alone, so that no
// other user can even open it (and hold it against us).
std::wstring LockFileSddl();

// Security attributes carrying an access list in SDDL, for CreateDirectory and CreateFile.
class FolderSecurity {
public:
    explicit FolderSecurity(const std::wstring& sddl);
    ~FolderSecurity();
    FolderSecurity(const FolderSecurity&) = delete;
    FolderSecurity& operator=(const FolderSecurity&) = delete;
    // Null when the descriptor could not be made.
    SECURITY_ATTRIBUTES* get() { return m_sd ? &m_sa : nullptr; }
    PSECURITY_DESCRIPTOR descriptor() const { return m_sd; }

private:
    PSECURITY_DESCRIPTOR m_sd = nullptr;
    SECURITY_ATTRIBUTES m_sa{};
};

// What a hold on a folder asks for. Windows (and Wine alike) checks an open's sharing only
// against handles that carry FILE_READ_DATA, FILE_EXECUTE, FILE_WRITE_DATA, FILE_APPEND_DATA or
// DELETE: a handle with none of them blocks nobody, whatever its share mode. A hold therefore
// lists the folder (FILE_LIST_DIRECTORY is FILE_READ_DATA) and shares reading and writing but
// not deletion: while it is open, any open for DELETE, which every rename and removal needs,
// fails with a sharing violation.
constexpr DWORD kFolderHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kFolderHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens a folder itself (never what a link points to) as a hold (kFolderHoldAccess, shared
// without deletion: while the handle is open nobody else can move, rename or remove the
// folder), with `extraAccess` when it is granted. INVALID_HANDLE_VALUE on failure.
HANDLE OpenFolderHeld(const std::wstring& path, DWORD extraAccess = 0);
HANDLE OpenFolderHeld(const std::string& path, DWORD extraAccess = 0);
// True when the handle (opened on `path`) is a folder and not a reparse point (junction,
// symbolic link).
bool IsPlainFolder(HANDLE folder, const std::wstring& path);
bool IsPlainFolder(HANDLE folder, const std::string& path);

// True when both handles are open on one file or folder: the same volume and file index.
bool SameFile(HANDLE a, HANDLE b);
// True when `path`, looked up now (never through a link at its end), names what `held` is open
// on: the proof that an act by that path reaches the held folder.
bool PathNames(const std::wstring& path, HANDLE held);

// Opens `name` (one component, no separator) inside the folder `folder` is open on, through that
// handle (NtCreateFile relative to it): no path is looked up again, so what is opened is in that
// folder whatever happened to the folder's path meanwhile. `disposition` and `options` are
// NtCreateFile's (kNtOpen..., kNtOption...); synchronous I/O is always asked for. `sd` gives a
// created file or folder its access list. Empty on failure, with the last error set and, when
// given, `status` the NTSTATUS.
constexpr DWORD kNtOpen = 1, kNtCreate = 2, kNtOpenIf = 3, kNtOverwriteIf = 5;
constexpr DWORD kNtDirectory = 0x1, kNtNonDirectory = 0x40, kNtForBackup = 0x4000, kNtOpenReparsePoint = 0x200000;
UniqueKernelHandle OpenInFolder(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD share,
                                DWORD disposition, DWORD options, PSECURITY_DESCRIPTOR sd = nullptr,
                                LONG* status = nullptr);
// Calls `visit(name, attributes)` for every entry of the folder `folder` is open on (listing
// access), "." and ".." left out, read through the handle. False when it could not be listed
// to its end (the last error says why), or `visit` said stop.
bool ListFolderEntries(HANDLE folder, bool (*visit)(void* context, const std::wstring& name, DWORD attributes),
                       void* context);
template <typename Visit>
bool ListFolder(HANDLE folder, Visit visit) {
    return ListFolderEntries(
        folder,
        [](void* context, const std::wstring& name, DWORD attributes) {
            return (*static_cast<Visit*>(context))(name, attributes);
        },
        &visit);
}

// Tests: shows the owner and access list of what lies at `finalPath` as the SDDL given, when the
// hook says so (true), in place of what the system holds: a second user, an elevated run's
// Administrators or SYSTEM as owner, which Wine cannot keep.
extern bool (*g_describeForTests)(const std::wstring& finalPath, std::wstring& sddl);

// What the access list of a folder allows. "Ours" is every identity a run of ours has: the
// user, the token's default owner, and Administrators and SYSTEM (an elevated run's owner).
struct FolderTrust {
    bool read = false;         // the descriptor could be read
    bool ownedByUs = false;    // the owner is the current user (or the token's default owner)
    bool ownerTrusted = false; // the owner is ours: us, SYSTEM or Administrators
    bool othersWrite = false;  // someone else may create, change or delete in it
    bool trusted() const { return read && ownerTrusted && !othersWrite; }
};
FolderTrust ReadFolderTrust(HANDLE folder);
// The same for a security descriptor (owner and access list), seen by the current user.
FolderTrust EvaluateFolderSecurity(PSECURITY_DESCRIPTOR sd);

// Replaces the access list of the folder (opened with WRITE_DAC) with the protected one of
// DownloadFolderSddl().
bool TightenFolder(HANDLE folder);

// True when the handle's final path is `expected` (compared without a trailing separator and
// without regard to case): a link anywhere above, or a folder swapped in before the handle was
// opened, shows up here.
bool FinalPathIs(HANDLE folder, const std::wstring& expected);
// The final path of what a handle is open on, without the extended prefix; empty on failure.
std::wstring FinalPathOf(HANDLE h);
// `path` with every existing component by its long name (short 8.3 names expanded); as given
// when it cannot be read.
std::wstring LongPath(const std::wstring& path);
// Where a path really is: the final path of its longest part that exists (links resolved, 8.3
// names by their long names), followed by the rest as written.
std::wstring ResolvedPath(const std::wstring& path);

// What a folder holds, looked at entry by entry at every depth, never through a link and never
// changing anything.
enum class FolderContent {
    Ours,     // every entry is owned by us, SYSTEM or Administrators, nobody else may change it,
              // none is a link, and every file has one name only
    Foreign,  // an entry owned by someone else, that others may change, a link, a file with
              // more than one name (a hard link), one closed to us, or a tree deeper than
              // the launcher makes
    Busy,     // something is held open by another program right now (a scanner, a backup)
    Unknown,  // something could not be listed or read for another reason
};
FolderContent InspectFolderContent(const std::wstring& folder);
// The same for the folder `folder` is open on (with listing access): listed through the handle,
// every entry opened through it, every subfolder held while it is looked into.
FolderContent InspectHeldFolder(HANDLE folder);

// Right before what was downloaded is opened: `path` (the installer, or the torrent's folder) is
// still ours alone as it stands: a plain file, or a plain folder whose content is ours, owned by
// us, SYSTEM or Administrators, that nobody else may change, found at exactly that path. A
// file's second name (a hard link made elsewhere) changes nothing of that. `hold` then keeps it
// open for reading, shared for reading only: until the caller lets go, nobody can write,
// rename, replace or remove it (an open for writing or deletion fails with a sharing violation),
// while opening it to run or read goes on.
enum class OpenCheck {
    Ours,
    Busy,     // held open by another program right now: ask again later
    NotOurs,
};
OpenCheck HoldIfStillOurs(const std::wstring& path, UniqueKernelHandle& hold);

// The lock file in the download folder that one launcher holds while it uses the folder.
extern const char kFolderLockName[];
extern const wchar_t kFolderLockNameW[];
enum class LockResult {
    Held,         // a plain file of ours with one name, opened exclusively
    Busy,         // another process holds it
    NotOurs,      // what stands under the lock's name is not a plain file of ours with one name,
                  // or it is closed to us (another user's)
    Missing,      // not there, and not to be made
    Unavailable,  // it cannot be made or opened for another reason
};
// Opens the lock inside the folder `folder` is open on, through that handle, exclusively (never
// followed if a link), and checks what was opened through its handle. With `create`, a missing
// lock is made, and one that others could open is made again with our access list alone;
// without, only a lock that is there is held, as it is. Busy only when the lock that another
// process holds is one that nobody but us, SYSTEM and Administrators may open (another launcher
// of ours); a lock held by anyone else is NotOurs.
LockResult TakeFolderLock(HANDLE folder, HANDLE& lock, bool create = true);
// The same for the folder at `folder`, held meanwhile.
LockResult TakeFolderLock(const std::string& folder, HANDLE& lock, bool create = true);

// True when the folder `folder` is open on (with listing access) holds nothing at all.
bool IsEmptyHeldFolder(HANDLE folder);
