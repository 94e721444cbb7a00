// The download folder: taking and holding it for as long as the launcher uses it.
#pragma once
#include <windows.h>

#include <string>

#include "framework/handles.h"
#include "launcher/FolderTrust.h"

// The download folder while this launcher uses it. Take holds it: both levels open for listing
// and shared without deletion, so that neither can be moved or replaced (a rename or removal
// needs an open for deletion, which that sharing refuses), the lock file held exclusively. Every
// act in it goes through those handles, or is proven to reach the held folder (its path still
// names it: same volume and file index). Its state answers whether what is downloaded may be
// opened from it.
//
// Each doubt gets the smallest answer that keeps the player safe:
// - ours under any identity a run of ours has (the user, Administrators, SYSTEM): used;
// - held open by another program (a scanner, a backup, another user): waited out a few
//   seconds, then InUse, never moved; the caller downloads into the user's own folder instead;
// - another user's, a link, a file, or one we may not move: NotOurs or Refused, never moved or
//   changed; the caller downloads into the user's own folder instead;
// - ours, but others may have put something in it: moved aside whole, in one rename through
//   the handle held on it, to the moved-aside folder beside it (an earlier one is used only when
//   it is ours alone; otherwise beside it, under the time of the move), and a fresh folder is
//   made in its place, with a record of where the old one went; the downloaded bytes in it are
//   data, which the caller may read back through handles for the piece hashes to judge, in this
//   launcher's life or a later one;
// - an empty folder of ours that others may write: tightened, or made anew.
// For an installed game, and for a folder that holds the game, equals it or lies inside it,
// nothing is made, tightened or moved: the folder is used as it stands, or not at all.
class DownloadFolder {
public:
    enum State {
        Failed,      // it could not be made or opened
        Refused,     // a junction or link at either level, a file, or not where its name says
        Busy,        // another launcher of ours holds it
        InUse,       // another program holds it, or something in it, open: waited out, still held
        NotOurs,     // another user's, or closed to us: never moved
        Untrusted,   // others may change it, or what it holds, and it could not be made safe
        Trusted,     // ours alone, and so is everything in it
        Absent,      // used as it stands and missing: nothing was made
        GameFolder,  // it holds the game, is the game's folder or lies inside it: left alone
    };
    enum Use {
        ForDownload,  // made when missing; tightened or moved aside when it cannot be vouched for
        AsItStands,   // nothing made, changed or moved: used only when it is ours already
    };
    // The game's folder (InstallPath), which the download folder must stay apart from. Empty:
    // no game folder is known.
    void KeepApartFrom(const std::string& gameFolder) { m_gameFolder = gameFolder; }
    // `path`: the download folder, with or without a trailing separator. Kept when already held.
    State Take(const std::string& path, Use use);
    State state() const { return m_state; }
    bool IsHeld() const { return static_cast<bool>(m_folder); }
    // True while the held folder is still ours alone (checked through its handle) and its path
    // still names it.
    bool StillTrusted() const;
    // True while the folder's path, and the path of the folder above, still name the folders
    // held: what is done by those paths is done in them.
    bool StillInPlace() const;
    // Where an untrusted folder was moved, in this launcher's life or in an earlier one whose
    // reading back did not finish (its record in the folder says); empty when none was.
    const std::wstring& MovedAsideTo() const { return m_movedAside; }
    // What the moved-aside folder holds of the download has been read back: its record goes,
    // and a later start looks no more.
    void MovedAsideReadBack();
    void Release();

    // The name of the one moved-aside folder beside the download folder "<name>".
    static std::wstring MovedAsideName(const std::wstring& name) { return name + L" (moved aside)"; }
    // The record, in the fresh folder, of where the folder was moved aside (its path, UTF-16).
    static const wchar_t kMovedAsideRecordName[];

    // Tests: called once what the folder holds has been judged and before the launcher acts on
    // it, so that a test can change the folder in between.
    static void (*s_beforeActing)(const std::wstring& folder);
    // Tests: called once an open folder was found empty, right before it is tightened.
    static void (*s_beforeTightening)(const std::wstring& folder);
    // How long something held open by another program is waited out.
    static DWORD s_busyWaitMs;
    // Tests: whether the volume keeps access lists (FAT32 does not); the system's answer when null.
    static bool (*s_volumeKeepsAccessLists)(HANDLE folder);

private:
    State HoldParent(const std::wstring& parent);
    State Hold(const std::wstring& folder, UniqueKernelHandle made, Use use);
    State MakeAnew(const std::wstring& folder);
    State TakeLock(Use use);
    bool MoveAside(const std::wstring& folder);
    UniqueKernelHandle ReopenSame(DWORD access);
    void WriteMovedAsideRecord();
    void ReadMovedAsideRecord();
    UniqueKernelHandle m_parent;
    UniqueKernelHandle m_folder;
    UniqueKernelHandle m_lock;
    State m_state = Failed;
    std::string m_gameFolder;
    std::wstring m_path;  // the folder, full, without a trailing separator
    std::wstring m_movedAside;
};
