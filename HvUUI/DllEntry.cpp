// The library image. It needs no DllMain; its exports are declared with the routines they name
// (HvUCoInstallPort in CoInstallPort.h).
#include "CoInstallPort.h"
