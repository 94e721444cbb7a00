// The download folder: taking and holding it for as long as the launcher uses it.
#pragma once
#include <windows.h>

#include <string>

#include "framework/handles.h"
#include "launcher/FolderTrust.h"

// The download folder while this launcher uses it. Take holds it: both levels open without
// sharing deletion (so neither can be moved or replaced), the lock file held exclusively. Its
// state answers whether what is downloaded may be opened from it.
//
// Each doubt gets the smallest answer that keeps the player safe:
// - ours under any identity a run of ours has (the user, Administrators, SYSTEM): used;
// - held open by another program (a scanner, a backup): waited out a few seconds, then InUse,
//   never moved;
// - another user's, a link, a file, or one we may not move: NotOurs or Refused, never moved or
//   changed; the caller downloads into the user's own folder instead;
// - ours, but others may have put something in it: moved aside whole, in one rename through
//   the handle held on it, to the one moved-aside folder beside it (an earlier one is reused),
//   and a fresh folder is made in its place; the downloaded bytes in it are data, which the
//   caller may read back through handles for the piece hashes to judge;
// - an empty folder of ours that others may write: tightened, or made anew.
// For an installed game, and for a folder that holds the game, equals it or lies inside it,
// nothing is made, tightened or moved: the folder is used as it stands, or not at all.
class DownloadFolder {
public:
    enum State {
        Failed,      // it could not be made or opened
        Refused,     // a junction or link at either level, a file, or not where its name says
        Busy,        // another launcher holds it
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
    // True while the held folder is still ours alone (checked through its handle).
    bool StillTrusted() const;
    // Where an untrusted folder was moved in this launcher's life; empty when none was.
    const std::wstring& MovedAsideTo() const { return m_movedAside; }
    void Release();

    // The name of the one moved-aside folder beside the download folder "<name>".
    static std::wstring MovedAsideName(const std::wstring& name) { return name + L" (moved aside)"; }

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
    State HoldParent(const std::string& parent);
    State Hold(const std::string& folder, bool created, Use use);
    State HoldFresh(const std::string& folder);
    State MakeAnew(const std::string& folder);
    State TakeLock(const std::string& folder, Use use);
    bool MoveAside(const std::string& folder);
    UniqueKernelHandle ReopenSame(const std::string& folder, DWORD access);
    UniqueKernelHandle m_parent;
    UniqueKernelHandle m_folder;
    UniqueKernelHandle m_lock;
    State m_state = Failed;
    std::string m_gameFolder;
    std::wstring m_movedAside;
};
