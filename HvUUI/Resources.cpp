// The library's string table and the loading of its strings.
#include "Resources.h"

#include <hv_resource.h>

HV_STRINGTABLE_BEGIN
HV_STRING(IDS_PORT_IN_USE, u"This COM name is being used by another device (such as another com port or modem).  Using "
                           u"duplicate names can lead to inaccessible devices and changed settings.  Do you want to "
                           u"continue?")
HV_STRING(IDS_PORT_OPEN, u"The port has been opened by another application.  Changing the port setting while the port "
                         u"is open can cause unpredictable effects.  Do you wish to continue?")
HV_STRING(IDS_RENAME_FAILED, u"There was an error renaming the COM port.")
HV_STRING(IDS_UPDATE_REFUSED,
          u"Please update the Halvorn driver found under Universal Serial Bus Controllers in Device Manager.\r\nThis "
          u"will automatically initiate the port driver update.\r\n\r\nPlease see Product Manual for further details.")
HV_STRINGTABLE_END

HINSTANCE g_hInstance = nullptr;

std::u16string HvLoadString(UINT id) {
    // The length-0 form hands out the text in place, so no string is cut at a buffer's size.
    const WCHAR* text = nullptr;
    int length = LoadStringW(g_hInstance, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::u16string(text, length) : std::u16string();
}
