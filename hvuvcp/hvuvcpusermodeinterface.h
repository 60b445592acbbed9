// The port settings set of the port driver (the value list is in hvuvcpparameters.h).
#pragma once

#include "hvuvcpparameters.h"

#include <pminformationset.h>

class CHvUVcpUserModeInterface : public CPmInformationSet, public CVcpParameters {
public:
    // Registers the 33 values. The set is valid only when its default-section name was stored and
    // every value was registered: a set short of a value would not match the client's stream.
    CHvUVcpUserModeInterface();

    // Writes the settings to the trace log (level 12), at every connect and every applied write.
    void m_Dump() const;
};

