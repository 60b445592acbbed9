// The framework's owned text: a counted wide string with a matching 8-bit view and a numeric view.
#pragma once

#include <wdm.h>

// Kinds of text the general append and prepend routine takes.
enum PmStringKind : ULONG {
    PmStringInteger = 1,       // ULONG, written in decimal
    PmStringAnsiText = 2,      // NUL-terminated 8-bit text
    PmStringAnsiCounted = 3,   // ANSI_STRING
    PmStringWideText = 4,      // NUL-terminated wide text
    PmStringWideCounted = 5,   // UNICODE_STRING
    PmStringPmString = 6,      // CPmString
};

class CPmString {
public:
    // STATUS_SUCCESS, STATUS_NO_MEMORY, or STATUS_NOT_FOUND when an empty string is used where text is
    // needed.
    NTSTATUS m_ntStatus;
    // Length without terminator; MaximumLength = Length + 2 with a zeroed terminator behind the text.
    UNICODE_STRING m_usText;
    ANSI_STRING m_asText;
    POOL_TYPE m_ePoolType;
    // The text read as a hexadecimal number, and whether it is one.
    ULONG m_ulNumber;
    BOOLEAN m_bNumberValid;

    explicit CPmString(POOL_TYPE ePoolType, PCWSTR pszText = NULL);
    CPmString(const CPmString& other);
    ~CPmString();
    CPmString& operator=(const CPmString&) = delete;

    // Assignments free the old content first and leave the string empty when they fail.
    NTSTATUS m_Assign(PCWSTR pszText);
    NTSTATUS m_AssignAnsi(PCSTR pszText);
    NTSTATUS m_AssignAnsiString(PCANSI_STRING pText);
    NTSTATUS m_AssignUnicodeString(PCUNICODE_STRING pText);
    NTSTATUS m_Copy(const CPmString& other);
    // Base 10 or 16; any other base is written in base 16.
    NTSTATUS m_AssignInteger(ULONG ulValue, ULONG ulBase);
    void m_Empty();

    // Appends and prepends keep the old content when they fail.
    NTSTATUS m_AppendInteger(ULONG ulValue);
    NTSTATUS m_AppendAnsi(PCSTR pszText);
    NTSTATUS m_Append(PCWSTR pszText);
    NTSTATUS m_AppendString(const CPmString& other);
    NTSTATUS m_PrependAnsi(PCSTR pszText);
    NTSTATUS m_Prepend(PCWSTR pszText);
    // The routine behind them: pvSource points at what eKind names (for integers, at the ULONG).
    NTSTATUS m_Concatenate(PmStringKind eKind, const void* pvSource, BOOLEAN bPrepend);

    // Exchanges the whole content (text, views, pool type and status) with another string.
    void m_Swap(CPmString& other);

    // a-z to A-Z, nothing else.
    NTSTATUS m_MakeUpper();

    // Searches of the 8-bit view; positions are 1-based.
    BOOLEAN m_FindChar(PULONG pulPosition, CHAR cCharacter) const;
    BOOLEAN m_Find(PULONG pulPosition, const CPmString& pattern) const;
    BOOLEAN m_RemoveCharAt(ULONG ulPosition);

    // New zeroed blocks (tag PmOC) that the caller frees with ExFreePool.
    NTSTATUS m_GetAnsiCopy(PCHAR* ppszCopy);
    // ulSpareBytes of zeroed room follow the terminator, for building multi-strings.
    NTSTATUS m_GetWideCopy(PWCHAR* ppszCopy, ULONG ulSpareBytes);

    BOOLEAN m_IsEmpty() const { return m_usText.Length == 0; }
    PCUNICODE_STRING m_GetUnicodeString() const { return &m_usText; }
    PCANSI_STRING m_GetAnsiString() const { return &m_asText; }
    // The NUL-terminated text; an empty string gives an empty text, never NULL.
    PCWSTR m_GetText() const { return m_usText.Buffer ? m_usText.Buffer : u""; }
    PCSTR m_GetAnsiText() const { return m_asText.Buffer ? m_asText.Buffer : ""; }
    // Length in characters.
    ULONG m_GetLength() const { return m_usText.Length / sizeof(WCHAR); }
    NTSTATUS m_GetStatus() const { return m_ntStatus; }
    BOOLEAN m_GetNumber(PULONG pulNumber) const;

private:
    void m_Free();
    // Takes ownership of the wide buffer (Length bytes of text and a terminator) and builds the views.
    NTSTATUS m_Install(PWCH pwcBuffer, USHORT usLength);
    NTSTATUS m_AssignCounted(PCWCH pwcText, SIZE_T cbLength);
    NTSTATUS m_AssignAnsiCounted(PCCH pchText, SIZE_T cchLength);
    NTSTATUS m_ReplaceText(PCWCH pwcText, SIZE_T cbLength);
};
