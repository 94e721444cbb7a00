// The download folder: taking and holding it, and its protection (who may change what the
// launcher opens from it).
#pragma once
#include <windows.h>

#include <string>

#include "framework/handles.h"

// The download folder while this launcher uses it. Take makes the folder (and the one above it)
// when missing, with the protected access list, and holds it: both levels open (so they cannot
// be moved or replaced), the lock file held exclusively. Its state answers whether what is
// downloaded may be opened from it.
class DownloadFolder {
public:
    enum State {
        Failed,     // it could not be made or opened
        Refused,    // a junction or link at either level, or not where its name says
        Busy,       // another launcher (of another user or session) holds it
        Untrusted,  // others may change it, or what it holds could not be cleared
        Trusted,    // ours alone, and so is everything in it
    };
    // `path`: the download folder, with or without a trailing separator. Kept when already held.
    State Take(const std::string& path);
    State state() const { return m_state; }
    bool IsHeld() const { return static_cast<bool>(m_folder); }
    void Release();

private:
    State Hold(const std::string& folder, bool created);
    UniqueKernelHandle m_parent;
    UniqueKernelHandle m_folder;
    UniqueKernelHandle m_lock;
    State m_state = Failed;
};

// The access list the launcher gives the folders it creates: protected (nothing inherited from
// the drive), full control for the current user, SYSTEM and Administrators, read and execute
// for Users, inherited by everything inside. Empty when the current user cannot be read.
std::wstring DownloadFolderSddl();

// Security attributes carrying that access list, for CreateDirectory.
class FolderSecurity {
public:
    FolderSecurity();
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
// list, shared for reading and writing but not for deletion: while the handle is open the
// folder cannot be moved, renamed or removed. INVALID_HANDLE_VALUE on failure.
HANDLE OpenFolderHeld(const std::string& path);
// True when the handle (opened on `path`) is a folder and not a reparse point (junction,
// symbolic link).
bool IsPlainFolder(HANDLE folder, const std::string& path);

// What the access list of a folder allows.
struct FolderTrust {
    bool read = false;         // the descriptor could be read
    bool ownedByUs = false;    // the owner is the current user (or the token's default owner)
    bool ownerTrusted = false; // the owner is us, SYSTEM or Administrators
    bool othersWrite = false;  // someone else may create, change or delete in it
    bool trusted() const { return read && ownerTrusted && !othersWrite; }
};
FolderTrust ReadFolderTrust(HANDLE folder);
// The same for a security descriptor (owner and access list), seen by the current user.
FolderTrust EvaluateFolderSecurity(PSECURITY_DESCRIPTOR sd);

// Replaces the folder's access list with the protected one of DownloadFolderSddl().
bool TightenFolder(const std::string& path);

// True when the handle's final path is `expected` (compared without a trailing separator and
// without regard to case): a link anywhere above, or a folder swapped in before the handle was
// opened, shows up here.
bool FinalPathIs(HANDLE folder, const std::wstring& expected);

// What a folder holds, looked at entry by entry at every depth, never through a link.
enum class FolderContent {
    Ours,     // every entry is owned by us, SYSTEM or Administrators, and none is a link
    Foreign,  // an entry owned by someone else, or a link (junction, symbolic link)
    Unknown,  // something could not be listed or its owner read
};
// The entry named `skip` is not looked at.
FolderContent InspectFolderContent(const std::wstring& folder, const wchar_t* skip);

// Removes everything inside `folder` except the entry named `keep`: files and links as entries
// (what a link points to is never touched), folders after their content, read-only ones too.
// True when nothing else is left.
bool EmptyFolder(const std::wstring& folder, const wchar_t* keep);

// The lock file in the download folder that one launcher holds while it uses the folder.
extern const char kFolderLockName[];
extern const wchar_t kFolderLockNameW[];
enum class LockResult { Held, Busy, Unavailable };
// Opens `folder` + lock name exclusively (created when missing, never followed if a link).
// Busy when another process holds it; Unavailable when it cannot be made or opened for
// another reason (the folder is not writable for us, say).
LockResult TakeFolderLock(const std::string& folder, HANDLE& lock);
