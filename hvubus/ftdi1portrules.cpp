// The arithmetic of the FTDI port object.
#include "ftdi1portrules.h"

// Sub-integer fractions of the divisor by code, in eighths.
static const ULONG s_aulFractionEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};

BOOLEAN FtdiFindBaudDivisor(ULONG ulBaudRate, FtdiBaudDivisor* pDivisor) {
    if (ulBaudRate == 0 || ulBaudRate > FTDI_MAXIMUM_BAUD_RATE)
        return FALSE;
    const ULONG ulDivisor = (FTDI_BAUD_CLOCK / ulBaudRate) & 0xFFFF;
    // A divisor the field cannot hold would program another rate.
    if (ulDivisor == 0 || ulDivisor > FTDI_DIVISOR_MASK)
        return FALSE;
    ULONG ulBest = ulBaudRate;
    LONG lCode = -1;
    for (ULONG ulCode = 0; ulCode < 8; ++ulCode) {
        ULONG ulCandidate = ulCode == 0 ? FTDI_BAUD_CLOCK / ulDivisor
                                        : 300000000u / (ulDivisor * 100 + (s_aulFractionEighths[ulCode] * 100) / 8);
        ULONG ulError = ulBaudRate > ulCandidate ? ulBaudRate - ulCandidate : ulCandidate - ulBaudRate;
        // Within 1 %, and strictly better: the lowest code wins a tie.
        if ((ULONGLONG)ulError * 10000 / ulBaudRate <= 100 && ulError < ulBest) {
            ulBest = ulError;
            lCode = (LONG)ulCode;
        }
    }
    if (lCode < 0)
        return FALSE;
    pDivisor->unValue = (USHORT)((ulDivisor & FTDI_DIVISOR_MASK) | (((ULONG)lCode & 3) << 14));
    pDivisor->ucFractionHigh = (UCHAR)((ULONG)lCode >> 2);
    pDivisor->ulDifference = ulBest;
    return TRUE;
}

USHORT FtdiLineWord(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits, BOOLEAN bBreak) {
    USHORT unWord = ulDataBits < 3 ? (USHORT)(5 + ulDataBits) : 8;
    if (ulParity >= 1 && ulParity <= 4)
        unWord |= (USHORT)(ulParity << 8);
    if (ulStopBits == 1)
        unWord |= 0x0800;
    else if (ulStopBits == 2)
        unWord |= 0x1000;
    if (bBreak)
        unWord |= 0x4000;
    return unWord;
}

ULONG FtdiEarlyAcknowledgeLimit(ULONG ulBaudRate, ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) {
    ULONG ulBits = (ulDataBits < 3 ? 5 + ulDataBits : 8) + 1 + (ulParity != 0 ? 1 : 0) + (ulStopBits == 2 ? 1 : 0);
    return (ULONG)(((ULONGLONG)ulBaudRate * 1000 / (ulBits * 1000)) / 1000 + 1);
}

ULONGLONG FtdiCharacterTime(ULONG ulBaudRate, ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) {
    const ULONGLONG ullBits = 1 + (ulDataBits < 3 ? 5 + ulDataBits : 8) + (ulParity != 0 ? 1 : 0) + (ulStopBits ? 2 : 1);
    const ULONGLONG ullBaud = ulBaudRate ? ulBaudRate : 1;
    return (ullBits * 10000000ULL + ullBaud - 1) / ullBaud;
}

ULONG FtdiNextRxTransferSize(ULONG ulFree, ULONG ulIncoming, ULONG ulRxFifoSize, ULONG ulCurrentSize,
                             PBOOLEAN pbLow) {
    const ULONGLONG ullReserve = (ULONGLONG)ulRxFifoSize + FTDI_PACKET_DATA;
    if (ulIncoming < ulFree && ullReserve < (ULONGLONG)(ulFree - ulIncoming)) {
        *pbLow = FALSE;
        ULONG ulPackets = (ULONG)(((ULONGLONG)(ulFree - ulIncoming) - ullReserve) / FTDI_PACKET_DATA);
        ULONGLONG ullSize = ulPackets == 0 ? FTDI_PACKET_SIZE : (ULONGLONG)ulPackets * FTDI_PACKET_SIZE;
        if (ullSize >= FTDI_MAXIMUM_TRANSFER + FTDI_PACKET_SIZE)
            ullSize = FTDI_MAXIMUM_TRANSFER;
        return ulCurrentSize < ullSize ? ulCurrentSize : (ULONG)ullSize;
    }
    *pbLow = TRUE;
    return FTDI_PACKET_SIZE;
}

// 62 data bytes of 10 bits, in milliseconds at 1 baud: the time one packet takes to fill.
#define FTDI_PACKET_FILL_TIME 620000u

BOOLEAN FtdiLatencyPolicy(const FtdiLatencySettings* pSettings, ULONG ulBaudRate, PULONG pulLatency,
                          PULONG pulTransferSize) {
    if (ulBaudRate == 0)
        return FALSE;
    if (pSettings->ulPolicyType == FTDI_POLICY_LOW_CPU_USAGE) {
        ULONG ulFine = pSettings->ulLowCpuUsageFineTuning;
        if (ulFine > FTDI_MAXIMUM_FINE_TUNING)
            ulFine = FTDI_MAXIMUM_FINE_TUNING;
        if (ulFine == 0) {
            *pulLatency = 255;
            *pulTransferSize = FTDI_MAXIMUM_TRANSFER;
            return TRUE;
        }
        ULONG ulPackets = ((257 - ulFine) * 64) / 256;
        if (ulPackets < 1)
            ulPackets = 1;
        ULONG ulLatency = (ulPackets + 1) * FTDI_PACKET_FILL_TIME / ulBaudRate;
        *pulLatency = ulLatency < 1 ? 1 : ulLatency > 255 ? 255 : ulLatency;
        *pulTransferSize = ulPackets * FTDI_PACKET_SIZE;
        return TRUE;
    }
    if (pSettings->ulPolicyType != FTDI_POLICY_SPECIFIC_LATENCY_TIME)
        return FALSE;
    ULONG ulMaximum = pSettings->ulMaximumLatency ? pSettings->ulMaximumLatency : FTDI_DEFAULT_MAXIMUM_LATENCY;
    ULONG ulFine = pSettings->ulMaximumLatencyFineTuning;
    if (ulFine > FTDI_MAXIMUM_FINE_TUNING)
        ulFine = FTDI_MAXIMUM_FINE_TUNING;
    if (ulBaudRate < FTDI_PACKET_FILL_TIME / ulMaximum) {
        *pulLatency = ulMaximum > 255 ? 255 : ulMaximum;
        *pulTransferSize = FTDI_MAXIMUM_TRANSFER;
        return TRUE;
    }
    if (ulMaximum / 65 > 255) {
        *pulLatency = 255;
        *pulTransferSize = FTDI_MAXIMUM_TRANSFER;
        return TRUE;
    }
    ULONG ulFirst = 0, ulEnd = 0;
    for (ULONG k = 1; k <= 64; ++k) {
        if (ulMaximum / (k + 1) > 255)
            continue;
        if (ulFirst == 0)
            ulFirst = k;
        ulEnd = k;
        ULONG ulLatency = ulMaximum / (k + 1);
        if (ulLatency < 1)
            ulLatency = 1;
        if (ulBaudRate < FTDI_PACKET_FILL_TIME / ulLatency)
            break;
    }
    ULONG k = ulFirst + ((ulEnd - ulFirst) * (257 - ulFine)) / 256;
    ULONG ulLatency = ulMaximum / (k + 1);
    *pulLatency = ulLatency < 1 ? 1 : ulLatency;
    *pulTransferSize = k * FTDI_PACKET_SIZE;
    return TRUE;
}
