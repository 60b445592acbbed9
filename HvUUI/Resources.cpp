// The library's string resources.
#include "Resources.h"

#include <cfgmgr32.h>

namespace {

struct StringResource {
    UINT id;
    const WCHAR* text;
};

const StringResource kStrings[] = {
    {IDS_PORT_IN_USE, u"This COM name is being used by another device (such as another com port or modem).  Using "
                      u"duplicate names can lead to inaccessible devices and changed settings.  Do you want to continue?"},
    {IDS_PORT_OPEN, u"The port has been opened by another application.  Changing the port setting while the port is "
                    u"open can cause unpredictable effects.  Do you wish to continue?"},
    {IDS_RENAME_FAILED, u"There was an error renaming the COM port."},
    {IDS_UPDATE_REFUSED,
     u"Please update the Halvorn driver found under Universal Serial Bus Controllers in Device Manager.\r\nThis will "
     u"automatically initiate the port driver update.\r\n\r\nPlease see Product Manual for further details."},
};

} // namespace

std::u16string HvLoadString(UINT id) {
    for (const auto& entry : kStrings)
        if (entry.id == id) return entry.text;
    return {};
}
