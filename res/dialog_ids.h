#pragma once
// Ids of the status dialog and its controls. Plain macros, because the
// resource compiler reads this file too.
#define IDD_STATUS 107

#define IDC_START_EXCHANGE 3
#define IDC_TABS 1000
#define IDC_RUN_AS_SERVICE 1001
#define IDC_ROWS 1002
#define IDC_LINK_BITMAP 1003
