// Serial communications: the comm routines of kernel32 on the standard serial control codes.
// Each is synchronous whatever the handle (WaitCommEvent excepted when given an OVERLAPPED).
#include <windows.h>
#include <ntddser.h>

#include <hv_wchar.h>

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/user_internal.h"

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS is SERIAL_TIMEOUTS");
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "COMMPROP is SERIAL_COMMPROP");

namespace hvsim::user {
namespace {

// One control request, waited for even on a handle opened for overlapped I/O: a private event
// and OVERLAPPED make the request the same on both kinds of handle.
BOOL control(HANDLE file, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
             DWORD* returned = nullptr) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) return FALSE;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(file, code, const_cast<void*>(in), in_size, out, out_size, &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(file, &overlapped, &bytes, TRUE);
    const DWORD error = GetLastError();
    CloseHandle(event);
    if (!ok) SetLastError(error);
    if (returned) *returned = bytes;
    return ok;
}

BOOL control_in(HANDLE file, DWORD code, const void* in, DWORD in_size) {
    return control(file, code, in, in_size, nullptr, 0);
}

BOOL bare(HANDLE file, DWORD code) { return control(file, code, nullptr, 0, nullptr, 0); }

BOOL invalid_parameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// What a DCB is made of on the driver's side.
struct PortState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW flow{};
};

BOOL read_state(HANDLE file, PortState* state) {
    return control(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &state->baud, sizeof state->baud) &&
           control(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &state->line, sizeof state->line) &&
           control(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &state->chars, sizeof state->chars) &&
           control(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &state->flow, sizeof state->flow);
}

// The DCB's flags in the handflow: DTR and RTS control are the two-bit fields in place.
constexpr ULONG kDcbHandShake =
    SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
constexpr ULONG kDcbFlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                                  SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE;

void state_to_dcb(const PortState& s, DCB* dcb) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = 1;
    dcb->fParity = s.line.Parity != NOPARITY;
    const ULONG shake = s.flow.ControlHandShake, replace = s.flow.FlowReplace;
    dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = shake & SERIAL_DTR_MASK;
    dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (replace & SERIAL_RTS_MASK) >> 6;
    dcb->XonLim = static_cast<WORD>(s.flow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.flow.XoffLimit);
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

// The DCB over the current state: what the DCB cannot say (the break character, DCD handshake,
// the break-character flag) stays as the driver has it.
PortState dcb_to_state(const DCB& dcb, const PortState& current) {
    PortState s = current;
    s.baud.BaudRate = dcb.BaudRate;
    s.line.StopBits = dcb.StopBits;
    s.line.Parity = dcb.Parity;
    s.line.WordLength = dcb.ByteSize;
    s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    ULONG shake = current.flow.ControlHandShake & ~kDcbHandShake;
    shake |= dcb.fDtrControl;
    if (dcb.fOutxCtsFlow) shake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) shake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) shake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) shake |= SERIAL_ERROR_ABORT;
    ULONG replace = current.flow.FlowReplace & ~kDcbFlowReplace;
    replace |= static_cast<ULONG>(dcb.fRtsControl) << 6;
    if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
    s.flow.ControlHandShake = shake;
    s.flow.FlowReplace = replace;
    s.flow.XonLimit = dcb.XonLim;
    s.flow.XoffLimit = dcb.XoffLim;
    return s;
}

// ---- Device-control strings ("baud=9600 parity=n" or "COM1: 96,n,8,1,x") ---------------------

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        std::string part(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        while (!part.empty() && part.front() == ' ') part.erase(part.begin());
        while (!part.empty() && part.back() == ' ') part.pop_back();
        parts.push_back(part);
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

// The mode command's two-digit abbreviations stand for the rates they begin.
std::optional<DWORD> parse_baud(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    const DWORD value = static_cast<DWORD>(std::stoul(text));
    switch (value) {
    case 11: return 110;
    case 15: return 150;
    case 30: return 300;
    case 60: return 600;
    case 12: return 1200;
    case 24: return 2400;
    case 48: return 4800;
    case 96: return 9600;
    case 19: return 19200;
    default: return value ? std::optional<DWORD>(value) : std::nullopt;
    }
}

std::optional<BYTE> parse_parity(const std::string& text) {
    static constexpr std::string_view kLetters = "noems";
    if (text.size() != 1) return {};
    const auto at = kLetters.find(text[0]);
    if (at == std::string_view::npos) return {};
    static constexpr BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    return kParity[at];
}

std::optional<BYTE> parse_data(const std::string& text) {
    if (text.size() != 1 || text[0] < '5' || text[0] > '8') return {};
    return static_cast<BYTE>(text[0] - '0');
}

std::optional<BYTE> parse_stop(const std::string& text) {
    if (text == "1") return ONESTOPBIT;
    if (text == "1.5") return ONE5STOPBITS;
    if (text == "2") return TWOSTOPBITS;
    return {};
}

std::optional<bool> parse_switch(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return {};
}

template <typename T, typename Field> bool take(const std::optional<T>& value, Field& field) {
    if (value) field = *value;
    return value.has_value();
}

// One setting of either form; the old form's fields are baud, parity, data and stop in turn.
bool apply_setting(const std::string& key, const std::string& value, DCB& dcb, COMMTIMEOUTS& timeouts,
                   bool* stop_given) {
    if (key == "baud") return take(parse_baud(value), dcb.BaudRate);
    if (key == "parity") return take(parse_parity(value), dcb.Parity);
    if (key == "data") return take(parse_data(value), dcb.ByteSize);
    if (key == "stop") return (*stop_given = take(parse_stop(value), dcb.StopBits));
    const std::optional<bool> on = parse_switch(value);
    if (key == "to" && on) {
        // Timeouts on: writes give up after a minute; off: no timeouts at all.
        timeouts = COMMTIMEOUTS{};
        if (*on) timeouts.WriteTotalTimeoutConstant = 60000;
    } else if (key == "xon" && on) {
        dcb.fInX = dcb.fOutX = *on;
    } else if (key == "odsr" && on) {
        dcb.fOutxDsrFlow = *on;
    } else if (key == "octs" && on) {
        dcb.fOutxCtsFlow = *on;
    } else if (key == "idsr" && on) {
        dcb.fDsrSensitivity = *on;
    } else if (key == "dtr" && (on || value == "hs")) {
        dcb.fDtrControl = value == "hs" ? DTR_CONTROL_HANDSHAKE : *on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    } else if (key == "rts" && (on || value == "hs" || value == "tg")) {
        dcb.fRtsControl = value == "hs"   ? RTS_CONTROL_HANDSHAKE
                          : value == "tg" ? RTS_CONTROL_TOGGLE
                          : *on           ? RTS_CONTROL_ENABLE
                                          : RTS_CONTROL_DISABLE;
    } else {
        return false;
    }
    return true;
}

// "key=value key=value ..."
bool parse_new_form(const std::string& text, DCB& dcb, COMMTIMEOUTS& timeouts, bool* stop_given) {
    for (const std::string& token : split(text, ' ')) {
        if (token.empty()) continue;
        const auto equals = token.find('=');
        if (equals == std::string::npos ||
            !apply_setting(token.substr(0, equals), token.substr(equals + 1), dcb, timeouts, stop_given))
            return false;
    }
    return true;
}

// baud[,parity[,data[,stop[,x|p]]]]; an empty field leaves its member alone.
bool parse_old_form(const std::string& text, DCB& dcb, COMMTIMEOUTS& timeouts, bool* stop_given) {
    static constexpr const char* kFields[] = {"baud", "parity", "data", "stop"};
    const std::vector<std::string> fields = split(text, ',');
    if (fields.size() > 5) return false;
    for (size_t i = 0; i < fields.size() && i < 4; ++i)
        if (!fields[i].empty() && !apply_setting(kFields[i], fields[i], dcb, timeouts, stop_given)) return false;
    if (fields.size() < 5 || fields[4].empty()) return true;
    if (fields[4] == "x") {
        dcb.fInX = dcb.fOutX = 1;
    } else if (fields[4] == "p") {
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        return false;
    }
    return true;
}

BOOL build_dcb(std::string_view definition, LPDCB dcb_out, LPCOMMTIMEOUTS timeouts_out) {
    if (!dcb_out) return invalid_parameter();
    std::string text = lower(definition);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.erase(text.begin());
    // An optional device name in front: "COM1" or "COM1:".
    if (text.size() > 3 && text.compare(0, 3, "com") == 0 && std::isdigit(static_cast<unsigned char>(text[3]))) {
        size_t end = 3;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end < text.size() && text[end] == ':') ++end;
        text.erase(0, end);
    }
    for (char& c : text)
        if (c == '\t') c = ' ';

    DCB dcb = *dcb_out;
    COMMTIMEOUTS timeouts = timeouts_out ? *timeouts_out : COMMTIMEOUTS{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    // Flow control is off unless the string turns it on.
    dcb.fInX = dcb.fOutX = 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    bool stop_given = false;
    const bool parsed = text.find('=') != std::string::npos ? parse_new_form(text, dcb, timeouts, &stop_given)
                                                            : parse_old_form(text, dcb, timeouts, &stop_given);
    if (!parsed) return invalid_parameter();
    // As the mode command does, 110 baud goes with two stop bits unless told otherwise.
    if (dcb.BaudRate == CBR_110 && !stop_given) dcb.StopBits = TWOSTOPBITS;
    dcb.fParity = dcb.Parity != NOPARITY;
    *dcb_out = dcb;
    if (timeouts_out) *timeouts_out = timeouts;
    return TRUE;
}

std::string narrow_ascii(LPCWSTR text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

} // namespace
} // namespace hvsim::user

using namespace hvsim::user;

HV_EXTERN_C_BEGIN

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return invalid_parameter();
    PortState state;
    if (!read_state(hFile, &state)) return FALSE;
    state_to_dcb(state, lpDCB);
    return TRUE;
}

// The DCB's settings go out one control code each; when one is refused, what was already sent
// is put back, so that the port is left as it was.
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB || lpDCB->XonChar == lpDCB->XoffChar) return invalid_parameter();
    PortState old;
    if (!read_state(hFile, &old)) return FALSE;
    const PortState wanted = dcb_to_state(*lpDCB, old);

    BOOL ok = control_in(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &wanted.baud, sizeof wanted.baud);
    if (ok) {
        // A driver refuses these while the old handflow still has the line under handshake; the
        // handflow sent last sets the line as the DCB says, so their result does not count.
        if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE) bare(hFile, IOCTL_SERIAL_SET_RTS);
        if (lpDCB->fRtsControl == RTS_CONTROL_DISABLE) bare(hFile, IOCTL_SERIAL_CLR_RTS);
        if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE) bare(hFile, IOCTL_SERIAL_SET_DTR);
        if (lpDCB->fDtrControl == DTR_CONTROL_DISABLE) bare(hFile, IOCTL_SERIAL_CLR_DTR);
        ok = control_in(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &wanted.line, sizeof wanted.line) &&
             control_in(hFile, IOCTL_SERIAL_SET_CHARS, &wanted.chars, sizeof wanted.chars) &&
             control_in(hFile, IOCTL_SERIAL_SET_HANDFLOW, &wanted.flow, sizeof wanted.flow);
    }
    if (ok) return TRUE;
    const DWORD error = GetLastError();
    control_in(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &old.baud, sizeof old.baud);
    control_in(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &old.line, sizeof old.line);
    control_in(hFile, IOCTL_SERIAL_SET_CHARS, &old.chars, sizeof old.chars);
    control_in(hFile, IOCTL_SERIAL_SET_HANDFLOW, &old.flow, sizeof old.flow);
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return invalid_parameter();
    SERIAL_TIMEOUTS timeouts;
    if (!control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts)) return FALSE;
    *lpCommTimeouts = {timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                       timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                       timeouts.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return invalid_parameter();
    const SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                                   lpCommTimeouts->ReadTotalTimeoutConstant,
                                   lpCommTimeouts->WriteTotalTimeoutMultiplier,
                                   lpCommTimeouts->WriteTotalTimeoutConstant};
    return control_in(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    const SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
    return control_in(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size);
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return control_in(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status{};
    if (!control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    if (lpErrors) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat) {
        *lpStat = COMSTAT{};
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    static constexpr DWORD kCodes[] = {
        IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON,      IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS,      IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
    };
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) return invalid_parameter();
    return bare(hFile, kCodes[dwFunc - SETXOFF]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return bare(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

BOOL WINAPI ClearCommBreak(HANDLE hFile) { return bare(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (!lpModemStat) return invalid_parameter();
    return control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return control_in(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (!lpEvtMask) return invalid_parameter();
    return control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

// With an OVERLAPPED the wait is the caller's: it may pend (ERROR_IO_PENDING) and the event mask
// arrives in *lpEvtMask when it completes.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (!lpEvtMask) return invalid_parameter();
    if (lpOverlapped) {
        DWORD bytes = 0;
        return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &bytes,
                               lpOverlapped);
    }
    return control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    return control_in(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, 1);
}

// A caller with room for provider-specific data says so by wPacketLength, marked valid by
// COMMPROP_INITIALIZED in dwProvSpec1.
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (!lpCommProp) return invalid_parameter();
    DWORD size = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > size)
        size = lpCommProp->wPacketLength;
    return control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, size);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (!lpDef) return invalid_parameter();
    return build_dcb(lpDef, lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (!lpDef) return invalid_parameter();
    return build_dcb(narrow_ascii(lpDef), lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef || !lpCommTimeouts) return invalid_parameter();
    return build_dcb(lpDef, lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef || !lpCommTimeouts) return invalid_parameter();
    return build_dcb(narrow_ascii(lpDef), lpDCB, lpCommTimeouts);
}

HV_EXTERN_C_END
