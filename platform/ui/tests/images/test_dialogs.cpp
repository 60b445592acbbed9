// A library image with a dialog of its own under an id the test program uses too, and a string.
#include <windows.h>

#include <hv_resource.h>

HV_DIALOGS_BEGIN
HV_DIALOGEX(200, 0, 0, 100, 40, WS_POPUP | WS_CAPTION, u"From the library")
HV_LTEXT(u"Library text", 1, 4, 4, 80, 8)
HV_DIALOGS_END

HV_STRINGTABLE_BEGIN
HV_STRING(7, u"Library string")
HV_STRINGTABLE_END
