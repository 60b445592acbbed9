// Headless message boxes (user32).
//
//   MessageBoxW/A/ExW   a modal box window owned by the caller's window, which is disabled while
//                       the box is up; the box takes the next scripted answer and leaves a
//                       transcript entry
//   MessageBeep         counted
//
// Nothing waits for a person: a box that only has OK is answered IDOK when no answer is
// scripted; any other unscripted box returns 0 and is counted, so a test that forgot to script
// a question sees it. While the box is up, what other threads send to the caller is handled,
// as a modal loop would.
#include <hvsim/user_hooks.h>

#include "internal/ui_internal.h"

namespace {

using namespace hvsim::user;
using namespace hvsim::ui;

struct State {
    std::mutex mutex;
    std::deque<int> answers;
    std::vector<MessageBoxEntry> transcript;
    size_t unscripted = 0;
    size_t beeps = 0;
};
State& state() {
    static State* s = new State;
    return *s;
}

// The buttons of each box type, in the order they stand.
struct BoxButtons {
    UINT type;
    std::vector<std::pair<int, const char16_t*>> buttons;
};
const BoxButtons kBoxButtons[] = {
    {MB_OK, {{IDOK, u"OK"}}},
    {MB_OKCANCEL, {{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}}},
    {MB_ABORTRETRYIGNORE, {{IDABORT, u"&Abort"}, {IDRETRY, u"&Retry"}, {IDIGNORE, u"&Ignore"}}},
    {MB_YESNOCANCEL, {{IDYES, u"&Yes"}, {IDNO, u"&No"}, {IDCANCEL, u"Cancel"}}},
    {MB_YESNO, {{IDYES, u"&Yes"}, {IDNO, u"&No"}}},
    {MB_RETRYCANCEL, {{IDRETRY, u"&Retry"}, {IDCANCEL, u"Cancel"}}},
    {MB_CANCELTRYCONTINUE, {{IDCANCEL, u"Cancel"}, {IDTRYAGAIN, u"&Try Again"}, {IDCONTINUE, u"&Continue"}}},
};

const BoxButtons* buttons_of(UINT type) {
    for (const auto& b : kBoxButtons)
        if (b.type == (type & MB_TYPEMASK)) return &b;
    return nullptr;
}

bool answer_fits(UINT type, int answer) {
    const BoxButtons* b = buttons_of(type);
    if (!b) return false;
    for (auto& [id, text] : b->buttons)
        if (id == answer) return true;
    return false;
}

// The box as a window: caption, text and buttons, owned by the owner's top-level window.
HWND create_box(HWND owner, const std::u16string& text, const std::u16string& caption, UINT type) {
    HWND box = CreateWindowExW(WS_EX_DLGMODALFRAME, WC_DIALOG, caption.c_str(),
                               WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0, 0, 240, 96, owner, nullptr,
                               nullptr, nullptr);
    if (!box) return nullptr;
    CreateWindowExW(0, u"Static", text.c_str(), WS_CHILD | WS_VISIBLE | SS_LEFT, 12, 12, 216, 40, box, HMENU(0xFFFF),
                    nullptr, nullptr);
    int x = 12;
    for (auto& [id, label] : buttons_of(type)->buttons) {
        CreateWindowExW(0, u"Button", label, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, x, 60, 66, 22, box,
                        HMENU(intptr_t(id)), nullptr, nullptr);
        x += 72;
    }
    return box;
}

int show(HWND owner, std::u16string text, std::u16string caption, UINT type) {
    MessageBoxEntry entry{owner, std::move(text), std::move(caption), type, 0, false, false};
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (!buttons_of(type)) {
            SetLastError(ERROR_INVALID_PARAMETER);
        } else if (!s.answers.empty()) {
            int answer = s.answers.front();
            s.answers.pop_front();
            entry.scripted = true;
            if (answer_fits(type, answer))
                entry.answer = answer;
            else
                SetLastError(ERROR_INVALID_PARAMETER);
        } else if ((type & MB_TYPEMASK) == MB_OK) {
            entry.answer = IDOK;
        } else {
            ++s.unscripted;
            SetLastError(ERROR_INVALID_PARAMETER);
        }
    }
    if (buttons_of(type)) {
        HWND top = owner ? root_of(owner) : nullptr;
        auto top_window = find_window(top);
        const bool disable = top_window && is_own_window(*top_window) && IsWindowEnabled(top);
        if (disable) EnableWindow(top, FALSE);
        entry.owner_disabled = top && !IsWindowEnabled(top);
        HWND box = create_box(top, entry.text, entry.caption, type);
        if (box) {
            ShowWindow(box, SW_SHOWNORMAL);
            handle_sent_messages(current_queue());
        }
        // Windows re-enables the owner before the box goes, so that it takes the activation back.
        if (disable) EnableWindow(top, TRUE);
        if (box) DestroyWindow(box);
    }
    OutputDebugStringA(("MessageBox: " + utf8(entry.caption) + ": " + utf8(entry.text) + "\n").c_str());
    int answer = entry.answer;
    std::lock_guard lock(s.mutex);
    s.transcript.push_back(std::move(entry));
    return answer;
}

} // namespace

namespace hvsim::user {

void script_message_box_answers(std::vector<int> answers) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.answers.insert(s.answers.end(), answers.begin(), answers.end());
}

std::vector<MessageBoxEntry> message_box_transcript() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.transcript;
}

size_t unscripted_message_boxes() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.unscripted;
}

size_t message_beeps() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.beeps;
}

void reset_message_boxes() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.answers.clear();
    s.transcript.clear();
    s.unscripted = 0;
    s.beeps = 0;
}

} // namespace hvsim::user

HV_EXTERN_C_BEGIN

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    return show(hWnd, lpText ? lpText : u"", lpCaption ? lpCaption : u"Error", uType);
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    return show(hWnd, lpText ? widen(lpText) : std::u16string(), lpCaption ? widen(lpCaption) : u"Error", uType);
}

int WINAPI MessageBoxExW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType, WORD) {
    return MessageBoxW(hWnd, lpText, lpCaption, uType);
}

BOOL WINAPI MessageBeep(UINT) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ++s.beeps;
    return TRUE;
}

HV_EXTERN_C_END
