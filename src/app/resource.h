#pragma once
// Resource and control ids of the program (shared by the .rc and the code).

#define IDD_ORVANE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_CHECK 133
#define IDI_UPDATE 134

#define IDC_CHECK 1000
#define IDC_ITEM_LIST 1011
#define IDC_ALLOW_LOWER 1012
#define IDC_UPDATE 1013
