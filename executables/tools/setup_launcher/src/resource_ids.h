// Identifiers shared by the resource script and the code.
#pragma once

#define IDD_LANGUAGE_DIALOG 129
#define IDD_PROGRESS_WINDOW 130
#define IDC_LANGUAGE_COMBO 1000
#define IDC_PROGRESS_BAR 1001
#define IDI_SETUP_LAUNCHER 1
