// Resource identifiers of the launcher.
#pragma once

#define IDD_LAUNCHER_DIALOG 102
#define IDI_LAUNCHER 129
#define IDS_EXIT_CONFIRM 130
#define IDS_PREPARING 131
#define IDB_BTN_NORMAL 132
#define IDB_BTN_PRESSED 133
#define IDB_BTN_HOVER 134
#define IDD_PEER_INFO 134
#define IDB_PROGRESS_BAR 135
#define IDR_POPUP_MENU 137
#define IDR_ACCEL 138
#define IDS_GAME_RUNNING 144
#define IDS_ALREADY_RUNNING 150
#define IDS_NOT_INSTALLED 151
#define IDS_FOLDER_REFUSED 152
#define IDS_SETUP_WINDOW_TITLE 153
#define IDS_FOLDER_IN_USE 154
#define IDS_FOLDER_MOVED_ASIDE 155
#define IDS_INSTALLER_NOT_OPENED 156
#define IDS_TORRENT_NOT_ADDED 157
#define IDS_RECOVERING 158
#define IDS_INSTALLER_BUSY 159
#define IDS_CHECKING_INSTALLER 170
#define IDS_TORRENT_DISK_FULL 171
#define IDS_TORRENT_FILE_HELD 172
#define IDS_TORRENT_ERROR 173
#define IDS_INSTALLER_NOT_STARTED 174
#define IDS_PEER_COLUMN_FIRST 160  // the peer window's five column titles, in order
#define IDB_BACKGROUND 1002

#define IDC_STATIC_STATUS 1000
#define IDC_STATIC_SIZE 1001
#define IDC_PROGRESS 1002
#define IDC_BTN_EXIT 1003
#define IDC_PEER_LIST 1004
#define IDC_BTN_CLOSE 1005

// The items of menu 137 (never loaded): they take effect when a WM_COMMAND carries them: show
// the windows again, and the exit without confirmation.
#define ID_MENU_OPEN 32773
#define ID_MENU_EXIT 32774
#define ID_SHOW_PEER_INFO 32775

