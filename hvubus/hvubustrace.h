// The bus driver's trace levels.
#pragma once

#define HVUBUS_TRACE 7 // the driver class
#define FTDI_TRACE 8   // the FTDI port object
