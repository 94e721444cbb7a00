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
// Nothing in a folder the launcher cannot vouch for is opened, changed or deleted. For a
// download such a folder is moved aside whole, in one rename through the handle held on it, and
// a fresh folder is made in its place; the player finds the old one beside it under a telling
// name. For an installed game, and for a folder that holds the game, equals it or lies inside
// it, nothing is made, tightened or moved: the folder is used as it stands, or not at all.
class DownloadFolder {
public:
    enum State {
        Failed,      // it could not be made or opened
        Refused,     // a junction or link at either level, or not where its name says
        Busy,        // another launcher (of another user or session) holds it
        Untrusted,   // others may change it, or what it holds, and it could not be moved aside
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

    // Tests: called once what the folder holds has been judged and before the launcher acts on
    // it, so that a test can change the folder in between.
    static void (*s_beforeActing)(const std::wstring& folder);

private:
    State Hold(const std::string& folder, bool created, Use use);
    State HoldFresh(const std::string& folder);
    State MakeAnew(const std::string& folder);
    bool MoveAside(const std::string& folder);
    UniqueKernelHandle ReopenSame(const std::string& folder, DWORD access);
    UniqueKernelHandle m_parent;
    UniqueKernelHandle m_folder;
    UniqueKernelHandle m_lock;
    State m_state = Failed;
    std::string m_gameFolder;
    std::wstring m_movedAside;
};
