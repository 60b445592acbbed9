// The maker's own control codes of every COM port of the package, beside the standard serial
// codes: RS-422/485 duplex mode, the chip's internal loopback and its EEPROM. Shared by the port
// driver and the applications that use them.
#pragma once

#include <ntddser.h>

#define HV_HVSERIAL_CODE(fn) CTL_CODE(FILE_DEVICE_SERIAL_PORT, (fn), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_HVSERIAL_GET_DUPLEX_MODE HV_HVSERIAL_CODE(0x800)
#define IOCTL_HVSERIAL_SET_DUPLEX_MODE HV_HVSERIAL_CODE(0x801)
#define IOCTL_HVSERIAL_SET_LOOPBACK_MODE HV_HVSERIAL_CODE(0x802)
#define IOCTL_HVSERIAL_CLEAR_LOOPBACK_MODE HV_HVSERIAL_CODE(0x803)
#define IOCTL_HVSERIAL_READ_EEPROM HV_HVSERIAL_CODE(0x806)
#define IOCTL_HVSERIAL_WRITE_EEPROM HV_HVSERIAL_CODE(0x807)

static_assert(IOCTL_HVSERIAL_GET_DUPLEX_MODE == 0x1B2000u && IOCTL_HVSERIAL_WRITE_EEPROM == 0x1B201Cu,
              "maker's control codes");

// RS-422/485 transmission modes 1..5 (0 is an RS-232 port).
#define HVSERIAL_DUPLEX_MODE_FIRST 1
#define HVSERIAL_DUPLEX_MODE_LAST 5

// IOCTL_HVSERIAL_GET_DUPLEX_MODE answers and IOCTL_HVSERIAL_SET_DUPLEX_MODE takes this.
typedef struct _HVSERIAL_DUPLEX_MODE {
    ULONG DuplexMode;
    UCHAR CtsTrue; // 1: CTS reads as on whatever the line says
    UCHAR Reserved[3];
} HVSERIAL_DUPLEX_MODE, *PHVSERIAL_DUPLEX_MODE;

// The head of both EEPROM requests; a write carries Length bytes after it, a read returns Length
// bytes in an output buffer of exactly that size.
typedef struct _HVSERIAL_EEPROM_REQUEST {
    ULONG Offset;
    ULONG Length;
} HVSERIAL_EEPROM_REQUEST, *PHVSERIAL_EEPROM_REQUEST;

static_assert(sizeof(HVSERIAL_DUPLEX_MODE) == 8 && sizeof(HVSERIAL_EEPROM_REQUEST) == 8, "maker's structures");
