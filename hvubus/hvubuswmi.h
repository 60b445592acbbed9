// The bus driver's WMI blocks: their GUIDs, layouts and the schema that describes them.
#pragma once

#include <wdm.h>

#include <pmwmi.h>

#include "hvubuswmiblocks.h"

#define HVUBUS_WMI_TIMING_BLOCK 0
#define HVUBUS_WMI_SETTINGS_BLOCK 1
#define HVUBUS_WMI_PORT_STATE_BLOCK 2
#define HVUBUS_WMI_SCHEMA_BLOCK 3
#define HVUBUS_WMI_BLOCKS 4

extern const GUID GUID_HVUBUS_WMI_TIMING;
extern const GUID GUID_HVUBUS_WMI_SETTINGS;
extern const GUID GUID_HVUBUS_WMI_PORT_STATE;
// The platform's GUID for a provider's binary schema.
extern const GUID GUID_HVUBUS_WMI_BINARY_SCHEMA;

extern const PmWmiGuidEntry g_aHvUBusWmiGuidTable[HVUBUS_WMI_BLOCKS];

// The schema of the three blocks, returned as stored.
extern const UCHAR* const g_pucHvUBusWmiSchema;
extern const ULONG g_ulHvUBusWmiSchemaSize;
