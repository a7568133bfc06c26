// Resource identifiers of kestrel.cpl and setup.exe. The numbers are part of the product: other
// programs and the help pages refer to the dialogs and controls by them.
#pragma once

// Manifest resource ids: 2 for a DLL (isolation-aware), 1 for a program.
#define IDR_MANIFEST_DLL 2
#define IDR_MANIFEST_EXE 1

// Icons, cursors and strings.
#define IDI_APPLET 1
#define IDI_STATUS_UNKNOWN 142
#define IDI_STATUS_GOOD 143
#define IDI_STATUS_BAD 144
#define IDI_STATUS_WARNING 145
#define IDC_CURSOR_HAND 5
#define IDC_CURSOR_MARKER 6001
#define IDS_APPLET_NAME 2
#define IDS_APPLET_DESCRIPTION 3

// Dialog templates.
#define IDD_CLIENT_PAGE 100
#define IDD_SERVER_PAGE 147
#define IDD_AGENT_PAGE 148
#define IDD_SERVICE_PAGE 149
#define IDD_CLIENT_PAGE_2000 151
#define IDD_PROGRESS 152
#define IDD_ABOUT_PAGE 153
#define IDD_DRIFT_GRAPH 6003

// The help link at the foot of every page.
#define IDC_HELP_LINK 2280

// Service page.
#define IDC_SERVICE_STATUS 2239
#define IDC_SERVICE_STARTUP 2233
#define IDC_SERVICE_START_STOP 2236
#define IDC_SERVICE_LOG_GROUP 2289
#define IDC_SERVICE_LOG_NOTE 2283
#define IDC_SERVICE_LOG_ENABLE 2266
#define IDC_SERVICE_LOG_PATH 2267
#define IDC_SERVICE_LOG_SIZE 2268
#define IDC_SERVICE_LOG_ENTRIES 2269
#define IDC_SERVICE_SHOW_LOG 2270
#define IDC_SERVICE_PATH_LABEL 2275
#define IDC_SERVICE_SIZE_LABEL 2276
#define IDC_SERVICE_SIZE_UNIT 2277
#define IDC_SERVICE_ENTRIES_LABEL 2278
#define IDC_SERVICE_ENTRIES_NOTE 2279

// About page.
#define IDC_ABOUT_HEADER 1001
#define IDC_ABOUT_TEXT 2293

// Progress window of the installer.
#define IDC_PROGRESS_BAR 2290
#define IDC_PROGRESS_ACTION 2291
#define IDC_PROGRESS_PRODUCT 2292

// setup.exe: its dialog, picture, cursor and controls.
#define IDD_SETUP 2
#define IDC_SETUP_CURSOR 125
#define IDB_SETUP_PICTURE 127
#define IDC_SETUP_TAB_LICENSE 180
#define IDC_SETUP_PICTURE 181
#define IDC_SETUP_TAB_SUPPORT 182
#define IDC_SETUP_TAB_README 183
#define IDC_SETUP_LINK 184
#define IDC_SETUP_PRODUCT 185
#define IDC_SETUP_COMPANY 186
#define IDC_SETUP_VERSION 187
#define IDC_SETUP_TAB_FAQ 188
