#pragma once

// Resource ids of the desktop program (shared by the .rc and the code).
#define IDD_ZORVANEUI_DIALOG 102
#define IDD_AUTH_DIALOG 129
#define IDI_ZORVANE 138
#define IDB_LOGO 139

#define IDC_USERNAME 1000
#define IDC_PASSWORD 1001
#define IDC_STATUS 1002

// Every control of a user row.
#define IDC_USER_ROW 4000
