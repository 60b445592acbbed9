// The flat byte stream an information set travels in between a driver and an application. The
// stream carries values only, in the order the set registered its items: writer and reader must
// hold the same items. Kernel and user-mode code compile this one implementation, so it needs
// nothing but the base types; each side shows its set to it through CPmSerialisedItems.
#pragma once

#include <basetsd.h>

#define SERIALISE_FLAG_TERMINATOR 0x01
#define SERIALISE_FLAG_LENGTH_PREFIX 0x02
#define SERIALISE_FLAG_WIDE_CHARS 0x04
#define SERIALISE_FLAG_TYPE_TAGS 0x08
#define SERIALISE_FLAG_HEADER 0x10
#define SERIALISE_FLAGS_ALL 0x1F

// What every set of the system is built with.
#define PM_SERIALISE_DEFAULT_FLAGS (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)

// Tag bytes in front of elements when SERIALISE_FLAG_TYPE_TAGS is set.
#define PM_SERIAL_TAG_HEADER 0
#define PM_SERIAL_TAG_DWORD 2
#define PM_SERIAL_TAG_ANSI_STRING 3
#define PM_SERIAL_TAG_WIDE_STRING 4

// Item types, as the sets register them.
#define PM_SERIAL_ITEM_DWORD 1
#define PM_SERIAL_ITEM_STRING 2

// A set as the serialiser sees it: its items in registration order, one at a time.
class CPmSerialisedItems {
public:
    // Moves to the first or the next item; FALSE when there is none.
    virtual BOOLEAN m_First() = 0;
    virtual BOOLEAN m_Next() = 0;
    // PM_SERIAL_ITEM_DWORD or PM_SERIAL_ITEM_STRING; anything else is refused.
    virtual ULONG m_GetType() = 0;
    virtual ULONG m_GetDword() = 0;
    virtual void m_SetDword(ULONG ulValue) = 0;
    // The item's text in the stream's width (8-bit characters of the ANSI code page, or 16-bit
    // characters), without a terminator; FALSE when it cannot be given in that width.
    virtual BOOLEAN m_GetText(BOOLEAN bWide, PCVOID* ppvText, PULONG pulBytes) = 0;
    // Replaces the item's text; the bytes may lie at any alignment.
    virtual BOOLEAN m_SetText(BOOLEAN bWide, PCVOID pvText, ULONG ulBytes) = 0;
    // A check of the reader or writer refused the stream; the line is that of the check in the
    // format's implementation.
    virtual void m_Refused(ULONG ulLine) {}

protected:
    ~CPmSerialisedItems() {}
};

// The format descriptor every set carries. Two 32-bit fields and no virtual operation: the set's
// layout, which two drivers share, depends on its size.
class CPmSerialisation {
public:
    ULONG m_ulFlags;
    ULONG m_ulHeaderValue;

    // Accepted only for flags of the format (below 32) that frame strings somehow (terminator or
    // length prefix), since a reader cannot find the end of a string that has neither.
    BOOLEAN m_SetFlags(ULONG ulFlags);

    // Byte count of the stream for the items' current values; 0 when an item cannot be written
    // (unknown type, text not available, an unframed string) or the total does not fit 32 bits.
    ULONG m_GetSerialisedSize(CPmSerialisedItems& items) const;
    // Writes the stream; *pulRoom is the free room, decreased by every byte written. FALSE when
    // an element does not fit whole or cannot be written; what was written so far stays.
    BOOLEAN m_Serialise(CPmSerialisedItems& items, PUCHAR pucBuffer, PULONG pulRoom) const;
    // Reads the stream into the items, each stored as soon as it is read; *pulLength is the count
    // of bytes not yet consumed. Bytes after the last item are left over and ignored.
    BOOLEAN m_Deserialise(CPmSerialisedItems& items, const UCHAR* pucBuffer, PULONG pulLength) const;
    // One string element into the current item; advances the cursor and decreases the remaining
    // count only when the element is accepted.
    BOOLEAN m_ReadString(const UCHAR** ppucCursor, PULONG pulRemaining, CPmSerialisedItems& target) const;

    BOOLEAN m_IsWide() const { return (m_ulFlags & SERIALISE_FLAG_WIDE_CHARS) != 0; }

private:
    BOOLEAN m_Tagged() const { return (m_ulFlags & SERIALISE_FLAG_TYPE_TAGS) != 0; }
    BOOLEAN m_FramesStrings() const {
        return (m_ulFlags & (SERIALISE_FLAG_TERMINATOR | SERIALISE_FLAG_LENGTH_PREFIX)) != 0;
    }
    ULONG m_TerminatorSize() const {
        return (m_ulFlags & SERIALISE_FLAG_TERMINATOR) ? (m_IsWide() ? 2u : 1u) : 0u;
    }
    // The text of the current item, cut at its first NUL character so that the reader finds the
    // same text; FALSE when none can be had.
    BOOLEAN m_TextOf(CPmSerialisedItems& items, const UCHAR** ppucText, PULONG pulBytes) const;
    // Size of one element of the current item, 0 when it cannot be written.
    ULONG m_ElementSize(CPmSerialisedItems& items) const;
};

static_assert(sizeof(CPmSerialisation) == 8, "format descriptor layout");
