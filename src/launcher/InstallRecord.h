// The game's installation record (HKEY_LOCAL_MACHINE\<record key>) and the file versions that
// decide whether the patcher's copy is fresh. The record is only ever read.
#pragma once
#include <windows.h>

#include "framework/afxstr.h"

// Reads the record's InstallPath into `installPath` (MAX_PATH bytes) and creates that folder
// when it is missing. TRUE (the game counts as installed) only when the folder was there already.
BOOL EnsureGameFolder(const char* keyPath, char* installPath);
// Reads the record's Version into `version` (kVersionSize bytes, cut to fit).
BOOL ReadGameVersion(const char* keyPath, char* version);
// The FileVersion text of a program's version resource; `result` is left as it is when there
// is none (or the file is missing).
void GetFileVersionString(const char* path, CString& result);
