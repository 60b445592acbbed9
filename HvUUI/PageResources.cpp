// Resources of the settings pages (PageResources.h): strings, dialogs, the help-link icon and the
// help-id tables of every page.
#include "PageResources.h"

#include <windows.h>
#include <commctrl.h>

#include <hv_resource.h>

#include "Utils.h"

HV_STRINGTABLE_BEGIN
HV_STRING(IDS_NEED_HELP, u"Need More &Help? Click:")
HV_STRING(IDS_DUPLEX_LIST, u"RS422 full-duplex mode,RS485 half-duplex autogating mode,Transmit only,Receive "
                           u"only,Transmitter and Receiver both disabled")
HV_STRING(IDS_TIP_DUPLEX, u"Selects how the port drives its RS-422/485 transmitter and receiver.")
HV_STRING(IDS_RS422485_NOTE, u"Choose the transmission mode of the RS-422/485 port. The modes offered are those "
                             u"the port supports.")
HV_STRING(IDS_USB_NOTE, u"These settings decide how long received data may wait in the adapter before it is "
                        u"sent to the computer. A short latency suits interactive use, a low CPU usage suits "
                        u"large transfers.")
HV_STRING(IDS_TIP_POLICY_LATENCY, u"Received data waits at most the latency set below.")
HV_STRING(IDS_TIP_POLICY_CPU, u"Received data is collected into larger transfers to spare the computer's CPU.")
HV_STRING(IDS_TIP_LATENCY, u"The longest time received data waits in the adapter.")
HV_STRING(IDS_TIP_LATENCY_TUNING, u"Fine tuning of the maximum latency policy.")
HV_STRING(IDS_TIP_CPU_TUNING, u"From the lowest latency to the lowest CPU usage.")
HV_STRING(IDS_TIP_RESTORE_DEFAULTS, u"Shows the driver's default settings; they are written when you press OK.")
HV_STRING(IDS_PORT_OPEN_WARNING, u"The port is open in another application. Changing the port settings while "
                                 u"the port is open can cause unpredictable effects. Do you wish to continue?")
HV_STRING(IDS_PARITY_LIST, u"Even,Odd,None,Mark,Space")
HV_STRING(IDS_STOPBITS_LIST, u"1,1.5,2")
HV_STRING(IDS_FLOW_CONTROL_LIST, u"Xon / Xoff,Hardware,None")
HV_STRING(IDS_USB_SETTINGS_TITLE, u"USB Settings")
HV_STRING(IDS_RS422485_TITLE, u"RS422/485 Settings")
HV_STRINGTABLE_END

// The pages are child dialogs of a property sheet.
#define HV_PAGE_STYLE (DS_SETFONT | WS_CHILD | WS_CAPTION | DS_CONTROL)

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_USB_SETTINGS, 0, 0, 252, 218, HV_PAGE_STYLE, u"USB Settings")
HV_FONT(8, u"MS Shell Dlg")
HV_LTEXT(u"", IDC_USB_NOTE, 10, 8, 232, 32)
// The two radios of one group come one after the other.
HV_AUTORADIOBUTTON(u"Maximum Latency", IDC_POLICY_LATENCY, 10, 46, 100, 10, WS_GROUP | WS_TABSTOP)
HV_AUTORADIOBUTTON(u"CPU usage", IDC_POLICY_CPU, 10, 104, 100, 10)
HV_CONTROL(u"", IDC_LATENCY, TRACKBAR_CLASSW, TBS_HORZ | WS_TABSTOP, 20, 60, 170, 15)
HV_LTEXT(u"2 ms", IDC_LATENCY_MS, 196, 62, 50, 8)
HV_LTEXT(u"Fine Tuning:", IDC_FINE_TUNING_LABEL, 20, 82, 60, 8)
HV_CONTROL(u"", IDC_LATENCY_TUNING, TRACKBAR_CLASSW, TBS_HORZ | WS_TABSTOP, 80, 80, 110, 15)
HV_CONTROL(u"", IDC_CPU_TUNING, TRACKBAR_CLASSW, TBS_HORZ | WS_TABSTOP, 20, 118, 170, 15)
HV_LTEXT(u"Lowest", IDC_CPU_LOWEST, 20, 136, 40, 8)
HV_RTEXT(u"Highest", IDC_CPU_HIGHEST, 150, 136, 40, 8)
HV_PUSHBUTTON(u"&Restore Defaults", IDC_RESTORE_DEFAULTS, 10, 160, 80, 14)
HV_LTEXT(u"Need More &Help? Click:", IDC_HELP_LABEL, 120, 196, 90, 8)
HV_ICON(IDI_HELP_LINK, IDC_HELP_LINK, 214, 192, SS_NOTIFY)

HV_DIALOGEX(IDD_RS422485, 0, 0, 252, 218, HV_PAGE_STYLE, u"RS422/485 Settings")
HV_FONT(8, u"MS Shell Dlg")
HV_GROUPBOX(u"Duplex Mode Setting", IDC_DUPLEX_FRAME, 7, 7, 238, 90)
HV_LTEXT(u"", IDC_DUPLEX_NOTE, 14, 20, 224, 32)
HV_LTEXT(u"Duplex Mode:", IDC_DUPLEX_LABEL, 14, 60, 50, 8)
HV_COMBOBOX(IDC_DUPLEX_MODE, 70, 58, 168, 100, CBS_DROPDOWNLIST | WS_VSCROLL)
HV_PUSHBUTTON(u"&Restore Defaults", IDC_RESTORE_DEFAULTS, 7, 104, 80, 14)
HV_LTEXT(u"Need More &Help? Click:", IDC_HELP_LABEL, 120, 196, 90, 8)
HV_ICON(IDI_HELP_LINK, IDC_HELP_LINK, 214, 192, SS_NOTIFY)

HV_DIALOGEX(IDD_ABOUT, 0, 0, 252, 218, HV_PAGE_STYLE, u"About")
HV_FONT(8, u"MS Shell Dlg")
HV_GROUPBOX(u"Halvorn", IDC_ABOUT_FRAME, 7, 7, 238, 50)
HV_LTEXT(u"Website:", IDC_ABOUT_WEBSITE, 14, 26, 40, 8)
HV_LTEXT(u"", IDC_ABOUT_LINK, 60, 26, 170, 8, SS_NOTIFY)
HV_DIALOGS_END

HV_RESOURCES_BEGIN
HV_ICON_RESOURCE(IDI_HELP_LINK, 16, 16)
HV_RESOURCES_END

const DWORD g_adwPortSettingsHelpIds[] = {
    841, 0x806B0349, 222, 0x806B0349, 842, 0x806B034A, 223, 0x806B034A, 843, 0x806B034B, 224, 0x806B034B,
    844, 0x806B034C, 225, 0x806B034C, 845, 0x806B034D, 226, 0x806B034D, 206, 0x806B00CE, 207, 0x806B00CF,
    208, 0x806B00D0, 209, 0x806B00D1, 210, 0x806B00D2, 211, 0x806B00D3, 227, 0x806B00D3, 205, 0x806B00CD,
    228, 0x806B00CD, 892, 0x806B037C, 840, 0x806B0348, 0,   0};
const DWORD g_adwDeviceHelpIds[] = {200, 0x807300CA, 0, 0};
const DWORD g_adwUsbSettingsHelpIds[] = {260, 0x806B034F, 261, 0x806B0350, 262, 0x806B0351, 267, 0x806B0351,
                                         263, 0x806B0352, 269, 0x806B0352, 264, 0x806B0353, 270, 0x806B0353,
                                         892, 0x806B037C, 0,   0};
const DWORD g_adwRs422485HelpIds[] = {259, 0x806B034E, 892, 0x806B037C, 0, 0};
