// The uninstaller's resources: its strings, the wizard's pages, the Windows 95 dialog and the
// wizard's pictures, as its resource script declares them.
#include <windows.h>
#include <commctrl.h>

#include <hv_resource.h>

#include "resource.h"

HV_STRINGTABLE_BEGIN
HV_STRING(IDS_NOT_ADMINISTRATOR, u"You do not have sufficient security permissions to uninstall  programs.\nPlease "
                                 u"contact your administrator or log out and log back in as an administrator.")
HV_STRING(IDS_SHEET_CAPTION, u"Uninstallation for Tarrow")
HV_STRING(IDS_INTRO_HEADER, u"Tarrow Uninstallation ")
HV_STRING(IDS_INTRO_SUBHEADER, u" ")
HV_STRING(IDS_CONFIRM_HEADER, u" Confimation..")
HV_STRING(IDS_CONFIRM_SUBHEADER, u" Do you really want to continue?")
HV_STRING(IDS_UNINSTALL_HEADER, u" Uninstalling")
HV_STRING(IDS_UNINSTALL_SUBHEADER, u" Please wait during the uninstallation process.")
HV_STRING(IDS_FINISH_HEADER, u"Uninstallation Finsihed")
HV_STRING(IDS_FINISH_SUBHEADER, u" ")
HV_STRING(IDS_SEARCH_HEADER, u" Searching Tarrow products")
HV_STRING(IDS_SEARCH_SUBHEADER, u" Please wait while searching for products.")
HV_STRING(IDS_INTRO_HEADING, u"Halvorn Tarrow Uninstallation")
HV_STRING(IDS_INTRO_TEXT, u"This wizard will guide you through the uninstallation process of Tarrow Product.")
HV_STRING(IDS_INTRO_CONTINUE, u"To Continue : Click 'Next'.")
HV_STRING(IDS_CONFIRM_TEXT,
          u"Please confirm that you wish to start the uninstallation process for Halvorn Tarrow products.")
HV_STRING(IDS_CONFIRM_BUTTONS, u"To start Uninstallation:  Click 'Next'\nTo exit: Click 'Cancel'")
HV_STRING(IDS_SEARCHING_PRODUCTS, u"Searching Tarrow products.....")
HV_STRING(IDS_SEARCHING_FILES, u"Searching driver files.........")
HV_STRING(IDS_SEARCH_FINISHED, u"Finished searching.")
HV_STRING(IDS_SEARCHING_REGISTRY, u"Searching registry entries.........")
HV_STRING(IDS_OVERALL_PROGRESS, u"Overall Progress:")
HV_STRING(IDS_UNINSTALLING_PRODUCTS, u"Uninstalling Tarrow product .........")
HV_STRING(IDS_UNINSTALLING_FILES, u"Uninstalling Tarrow driver files .........")
HV_STRING(IDS_UNINSTALLING_REGISTRY, u"Uninstalling Tarrow registry entries .........")
HV_STRING(IDS_UNINSTALL_COMPLETED, u"Uninstallation process completed.")
HV_STRING(IDS_FINISH_TEXT, u"You have successfully uninstalled your Halvorn Tarrow products.")
HV_STRING(IDS_FINISH_CLOSE, u"To close this wizard, Click 'Finish'.")
HV_STRING(IDS_PAGE_TITLE, u"Halvorn Tarrow Uninstallation")
HV_STRING(IDS_SEARCH_OVERALL, u"Overall Progress:")
HV_STRING(IDS_WIN95_MESSAGE, u"Pleace click <Uninstall> to remove all Halvorn Devices from your machine. Otherwise "
                             u"click <Finish> to exit.")
HV_STRING(IDS_RESTART_QUESTION,
          u"You need to restart your system to complete uninstallation.\nDo you want to restart your system NOW?")
HV_STRING(IDS_NO_OPERATION, u"The uninstallation could not be prepared: the system is out of memory.")
HV_STRINGTABLE_END

HV_DIALOGS_BEGIN
// Exterior pages (the watermark on their left).
HV_DIALOGEX(IDD_INTRO, 0, 0, 317, 193, DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION, u"Intro")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_INTRO_HEADING, 115, 8, 195, 24)
HV_LTEXT(u"", IDC_INTRO_TEXT, 115, 40, 195, 30)
HV_LTEXT(u"", IDC_INTRO_CONTINUE, 115, 170, 195, 10)
HV_DIALOGEX(IDD_FINISH, 0, 0, 317, 193, DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION, u"Finish")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_FINISH_HEADING, 115, 8, 195, 24)
HV_LTEXT(u"", IDC_FINISH_TEXT, 115, 40, 195, 20)
HV_LTEXT(u"", IDC_FINISH_NOTE, 115, 70, 195, 30)
HV_LTEXT(u"", IDC_FINISH_CLOSE, 115, 170, 195, 10)
// Interior pages (the header above them).
HV_DIALOGEX(IDD_SEARCH, 0, 0, 317, 143, DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION, u"Search")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_SEARCH_STEP, 21, 20, 275, 8)
HV_CONTROL(u"", IDC_SEARCH_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 21, 32, 275, 12)
HV_LTEXT(u"", IDC_OVERALL_LABEL, 21, 70, 275, 8)
HV_CONTROL(u"", IDC_OVERALL_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 21, 82, 275, 12)
HV_DIALOGEX(IDD_CONFIRM, 0, 0, 317, 143, DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION, u"Confirm")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_CONFIRM_TEXT, 21, 20, 275, 20)
HV_LTEXT(u"", IDC_CONFIRM_BUTTONS, 21, 60, 275, 20)
HV_DIALOGEX(IDD_UNINSTALL, 0, 0, 317, 143, DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION, u"Uninstall")
HV_FONT(8, u"MS Sans Serif")
HV_LTEXT(u"", IDC_UNINSTALL_STEP, 21, 20, 275, 8)
HV_CONTROL(u"", IDC_UNINSTALL_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 21, 32, 275, 12)
HV_LTEXT(u"", IDC_OVERALL_LABEL, 21, 70, 275, 8)
HV_CONTROL(u"", IDC_OVERALL_PROGRESS, PROGRESS_CLASSW, WS_BORDER, 21, 82, 275, 12)
// The single dialog of Windows 95: the watermark on its left, the progress shown once it runs.
HV_DIALOGEX(IDD_WIN95, 0, 0, 305, 193, DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
            u"Halvorn Tarrow Uninstallation")
HV_FONT(8, u"MS Sans Serif")
HV_CONTROL(u"", IDC_WIN95_PICTURE, u"Static", SS_BITMAP, 0, 0, 109, 193)
HV_LTEXT(u"", IDC_WIN95_MESSAGE, 117, 10, 180, 40)
HV_LTEXT(u"Step", IDC_WIN95_STEP, 117, 70, 180, 8, HV_NOT(WS_VISIBLE))
hv_dialog_control(0, PROGRESS_CLASSW, u"", 0, IDC_WIN95_STEP_PROGRESS, 117, 82, 180, 12, WS_BORDER, HV_NOT(WS_VISIBLE)),
HV_LTEXT(u"Overall Progress:", IDC_OVERALL_LABEL, 117, 105, 180, 8, HV_NOT(WS_VISIBLE))
hv_dialog_control(0, PROGRESS_CLASSW, u"", 0, IDC_WIN95_OVERALL_PROGRESS, 117, 117, 180, 12, WS_BORDER,
                  HV_NOT(WS_VISIBLE)),
HV_LTEXT(u"To continue, click Finish.", IDC_WIN95_CONTINUE, 117, 140, 180, 8, HV_NOT(WS_VISIBLE))
HV_DEFPUSHBUTTON(u"&Uninstall", IDOK, 190, 172, 50, 14)
HV_PUSHBUTTON(u"&Finish", IDCANCEL, 248, 172, 50, 14)
HV_DIALOGS_END

HV_RESOURCES_BEGIN
HV_BITMAP(IDB_HEADER, 49, 49, 8)
HV_BITMAP(IDB_WATERMARK_16, 164, 314, 4)
HV_BITMAP(IDB_HEADER_16, 49, 49, 4)
HV_BITMAP(IDB_WATERMARK, 164, 314, 8)
HV_RESOURCES_END
