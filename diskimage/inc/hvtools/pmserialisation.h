// Descriptor of the flat byte stream an information set is carried in between driver and application.
#pragma once

#include <wdm.h>

#define SERIALISE_FLAG_TERMINATOR 0x01
#define SERIALISE_FLAG_LENGTH_PREFIX 0x02
#define SERIALISE_FLAG_WIDE_CHARS 0x04
#define SERIALISE_FLAG_TYPE_TAGS 0x08
#define SERIALISE_FLAG_HEADER 0x10

// What every set of the system is built with.
#define PM_SERIALISE_DEFAULT_FLAGS (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)

class CPmSerialisation {
public:
    ULONG m_ulFlags;
    ULONG m_ulHeaderValue;
};
