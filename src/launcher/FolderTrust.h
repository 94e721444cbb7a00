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

// Opens a folder itself (never what a link points to) for reading its attributes and access
// list, and `extraAccess` when it is granted, shared for reading and writing but not for
// deletion: while the handle is open nobody else can move, rename or remove the folder.
// INVALID_HANDLE_VALUE on failure.
HANDLE OpenFolderHeld(const std::string& path, DWORD extraAccess = 0);
// True when the handle (opened on `path`) is a folder and not a reparse point (junction,
// symbolic link).
bool IsPlainFolder(HANDLE folder, const std::string& path);

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

// Right before what was downloaded is opened: `path` (the installer, or the torrent's folder) is
// still ours alone as it stands: a plain file, or a plain folder whose content is ours, owned by
// us, SYSTEM or Administrators, that nobody else may change, found at exactly that path. A
// file's second name (a hard link made elsewhere) changes nothing of that. `hold` then keeps it
// open without sharing deletion, so that it cannot be renamed or replaced until the caller has
// opened it.
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
// Opens `folder` + lock name exclusively (never followed if a link) and checks what was opened
// through its handle. With `create`, a missing lock is made, and one that others could open is
// made again with our access list alone; without, only a lock that is there is held, as it is.
LockResult TakeFolderLock(const std::string& folder, HANDLE& lock, bool create = true);

// True when the folder holds nothing at all.
bool IsEmptyFolder(const std::wstring& folder);
