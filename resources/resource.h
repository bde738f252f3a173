// Resource ids, shared by marvane.rc and the code. Plain #defines only: windres and rc
// read this file too.
#pragma once

// Strings.
#define IDS_APP_TITLE 103  // window title
#define IDS_WINDOW_CLASS 109
// The driver file catalog: string-table entries 110 to 127, each named by a row of
// makes.def with its file name.
#define IDS_DW_CARD 110
#define IDS_DW_PUMP 111
#define IDS_GIL_PUMP 112
#define IDS_GIL_CARD 113
#define IDS_TOK_PUMP 114
#define IDS_TOK_CARD 115
#define IDS_SAM_PUMP 116
#define IDS_SAM_CARD 117
#define IDS_GEN_PUMP 118
#define IDS_GEN_CARD 119
#define IDS_KRS_PUMP 120
#define IDS_BEN_PUMP 121
#define IDS_TAT_PUMP 122
#define IDS_LTS_PUMP 123
#define IDS_NUO_PUMP 124
#define IDS_DON_PUMP 125
#define IDS_DRT_PUMP 126
#define IDS_MEC_PUMP 127

// Menu, accelerators, dialog, icons, version.
#define IDR_MAINMENU 109  // menu and accelerator table
#define IDD_ABOUTBOX 103
#define IDI_MARVANE 107       // large icon
#define IDI_SMALL 108         // small icon
#define IDC_ABOUT_LINE2 1000  // the About box's second line
#ifndef IDC_STATIC
#define IDC_STATIC (-1)  // controls nobody addresses
#endif

// Commands.
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_DOWNLOAD 32801
#define IDM_COM1 32806
#define IDM_COM2 32807
#define IDM_COM3 32808
#define IDM_COM4 32809
#define IDM_BAUD_19200 32810
#define IDM_BAUD_9600 32811
#define IDM_BAUD_4800 32812
#define IDM_BAUD_2400 32813
#define IDM_PUMP1_SELECT 32802
#define IDM_PUMP2_SELECT 32803
#define IDM_READER1_SELECT 32804
#define IDM_READER2_SELECT 32805

#define IDM_PUMP1_DW 32771
#define IDM_PUMP1_GIL 32772
#define IDM_PUMP1_TOK 32773
#define IDM_PUMP1_SAM 32774
#define IDM_PUMP1_KRS 32775
#define IDM_PUMP1_BEN 32776
#define IDM_PUMP1_TAT 32777
#define IDM_PUMP1_LTS 32778
#define IDM_PUMP1_NUO 32779
#define IDM_PUMP1_DON 32815
#define IDM_PUMP1_DRT 32818
#define IDM_PUMP1_MEC 32814
#define IDM_PUMP1_GEN 32791

#define IDM_PUMP2_DW 32780
#define IDM_PUMP2_GIL 32781
#define IDM_PUMP2_TOK 32782
#define IDM_PUMP2_SAM 32783
#define IDM_PUMP2_KRS 32784
#define IDM_PUMP2_BEN 32785
#define IDM_PUMP2_TAT 32786
#define IDM_PUMP2_LTS 32787
#define IDM_PUMP2_NUO 32788
#define IDM_PUMP2_DON 32816
#define IDM_PUMP2_DRT 32819
#define IDM_PUMP2_MEC 32817
#define IDM_PUMP2_GEN 32792

#define IDM_READER1_DW 32789
#define IDM_READER1_GIL 32790
#define IDM_READER1_TOK 32793
#define IDM_READER1_SAM 32794
#define IDM_READER1_GEN 32795

#define IDM_READER2_DW 32796
#define IDM_READER2_GIL 32797
#define IDM_READER2_TOK 32798
#define IDM_READER2_SAM 32799
#define IDM_READER2_GEN 32800
