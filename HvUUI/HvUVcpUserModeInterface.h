// The pages' copy of the port settings set: the 33 values of the port driver's set, in its order.
#pragma once

#include "PmInformationSet.h"

#include <hvuvcpparameters.h>

class CHvUVcpUserModeInterface : public CPmInformationSet, public CVcpParameters {
public:
    // Before any read: the pages' own starting values (an RS-232 port, every capability offered).
    CHvUVcpUserModeInterface();

    // The values and which of them were read, from another copy of the set.
    void m_AssignValues(const CHvUVcpUserModeInterface& other);
};
