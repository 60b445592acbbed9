// Resources of the settings pages: the USB Settings, RS-422/485 and About dialogs, the strings the
// choice lists and these pages use, the help-link icon every page shows, and the strings all
// pages share (the Restore Defaults tip, the open-port warning, the help label).
#pragma once

// Dialogs.
#define IDD_ABOUT 146
#define IDD_RS422485 147
#define IDD_USB_SETTINGS 148

// The help-link icon (static 246 of every settings page).
#define IDI_HELP_LINK 140

// Controls every settings page has.
#define IDC_HELP_LINK 246
#define IDC_HELP_LABEL 247
#define IDC_RESTORE_DEFAULTS 892

// USB Settings.
#define IDC_POLICY_LATENCY 260
#define IDC_POLICY_CPU 261
#define IDC_LATENCY 262
#define IDC_LATENCY_TUNING 263
#define IDC_CPU_TUNING 264
#define IDC_LATENCY_MS 267
#define IDC_FINE_TUNING_LABEL 269
#define IDC_CPU_LOWEST 270
#define IDC_CPU_HIGHEST 271
#define IDC_USB_NOTE 272

// RS-422/485 Settings.
#define IDC_DUPLEX_LABEL 220
#define IDC_DUPLEX_FRAME 249
#define IDC_DUPLEX_MODE 259
#define IDC_DUPLEX_NOTE 271

// About.
#define IDC_ABOUT_FRAME 1034
#define IDC_ABOUT_LINK 1035
#define IDC_ABOUT_WEBSITE 1036

// Strings.
#define IDS_NEED_HELP 5023
#define IDS_DUPLEX_LIST 5050
#define IDS_TIP_DUPLEX 5051
#define IDS_RS422485_NOTE 5052
#define IDS_USB_NOTE 5053
#define IDS_TIP_POLICY_LATENCY 5054
#define IDS_TIP_POLICY_CPU 5055
#define IDS_TIP_LATENCY 5056
#define IDS_TIP_LATENCY_TUNING 5057
#define IDS_TIP_CPU_TUNING 5058
#define IDS_TIP_RESTORE_DEFAULTS 5059
#define IDS_PORT_OPEN_WARNING 5061
#define IDS_PARITY_LIST 8001
#define IDS_STOPBITS_LIST 8002
#define IDS_FLOW_CONTROL_LIST 8006
#define IDS_USB_SETTINGS_TITLE 8038
#define IDS_RS422485_TITLE 8039

// The maker's web address, shown and opened by the About page.
#define HV_MAKER_WEB_ADDRESS u"http://www.halvorn.com"
