// The setup program's resources: its dialogs, strings and pictures, as its resource script
// holds them.
#include <windows.h>
#include <commctrl.h>

#include <hv_resource.h>

#include "Resource.h"

HV_DIALOGS_BEGIN
HV_DIALOGEX(IDD_INTRO, 0, 0, 312, 190, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Halvorn Tarrow Installation")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"Welcome", IDC_WELCOME, 114, 9, 191, 22)
HV_LTEXT(u"Msg", IDC_INTRO_TEXT, 114, 35, 191, 25)
HV_LTEXT(u"", IDC_REMOVE_DEVICES, 114, 147, 191, 36)
HV_ICON(IDI_PREVIOUS, IDC_PREVIOUS_ICON, 114, 97, HV_NOT(WS_VISIBLE))
HV_LTEXT(u"", IDC_DETECTION, 139, 96, 166, 33)
HV_DIALOGEX(IDD_INSTALL, 0, 0, 300, 140, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Halvorn Tarrow Installation")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"Installing Tarrow Driver Package.......................", IDC_STATIC, 37, 76, 208, 8)
HV_CONTROL(u"", IDC_ANIMATE, ANIMATE_CLASSW, ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY | WS_TABSTOP, 37, 94, 235,
           28)
HV_DIALOGEX(IDD_FINISH, 0, 0, 311, 158, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Halvorn Tarrow Installation")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_FINISH_TITLE, 117, 10, 187, 20)
HV_LTEXT(u"", IDC_FINISH_TEXT, 117, 35, 182, 44)
HV_LTEXT(u"", IDC_FINISH_CLOSE, 120, 134, 172, 17)
HV_LTEXT(u"", IDC_FINISH_NOTE, 117, 87, 182, 34)
HV_DIALOGS_END

HV_STRINGTABLE_BEGIN
HV_STRING(IDS_NO_RIGHTS, u"You do not have sufficient security permissions to uninstall  programs.\nPlease contact "
                         u"your administrator or log out and log back in as an administrator.")
HV_STRING(IDS_SHEET_CAPTION, u"Installation for Tarrow")
HV_STRING(IDS_INTRO_HEADER_TITLE, u"Tarrow Installation ")
HV_STRING(IDS_INTRO_HEADER_SUBTITLE, u" ")
HV_STRING(IDS_INSTALL_HEADER_TITLE, u" Installing")
HV_STRING(IDS_INSTALL_HEADER_SUBTITLE, u" The installation process may take a while. Please wait...")
HV_STRING(IDS_FINISH_HEADER_TITLE, u"Installation Finsihed")
HV_STRING(IDS_FINISH_HEADER_SUBTITLE, u" ")
HV_STRING(IDS_WELCOME, u"Halvorn Tarrow Installation")
HV_STRING(IDS_INTRO_TEXT, u"This wizard will guide you through the installation process of Tarrow Products.")
HV_STRING(IDS_REMOVE_DEVICES, u"PLEASE REMOVE ALL Tarrow devices.\n\nTo Continue : Click 'Next'.")
HV_STRING(IDS_COMPLETED, u"Installation process completed.")
HV_STRING(IDS_SUCCESS, u"You have successfully installed your Halvorn Tarrow products.")
HV_STRING(IDS_CLOSE_WIZARD, u"To close this wizard, Click 'Finish'.")
HV_STRING(IDS_TITLE, u"Halvorn Tarrow Installation")
HV_STRINGTABLE_END

HV_RESOURCES_BEGIN
HV_BITMAP(IDB_WATERMARK, 164, 314, 24)
HV_BITMAP(IDB_HEADER, 49, 49, 24)
HV_BITMAP(IDB_WATERMARK_LOW, 164, 314, 8)
HV_BITMAP(IDB_HEADER_LOW, 49, 49, 8)
HV_ICON_RESOURCE(IDI_PREVIOUS, 48, 48)
HV_ICON_RESOURCE(IDR_MAINFRAME, 32, 32)
HV_AVI(IDR_INSTALL_AVI)
HV_RESOURCES_END
