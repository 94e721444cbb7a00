// The launch sequence's results and its steps that need no window. The sequence itself is the
// main window's ProcessStartParam (LaunchSequence.cpp).
#pragma once
#include <windows.h>

struct StartParams;

// Results of the launch sequence.
enum SequenceResult {
    kSequenceDone = 0,         // the end of the sequence was reached
    kSequenceStopped = 1,      // it stopped early
    kSequenceInterrupted = 3,  // the wait for the installer was ended by a close
};

// Ends a running patcher (the window of class "Mirel Patcher"), as if it had exited itself.
void EndRunningPatcher();
// Refreshes the patcher's copy ("MirelPatcher.exe") from "Patcher.exe" when their file versions
// differ, and opens the copy with the patcher's parameters, in the game's folder.
void RunPatcher(HWND owner, const char* installPath, const char* version, const StartParams& params);
