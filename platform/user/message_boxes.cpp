// Headless message boxes (user32); string tables are in string_resources.cpp.
//
//   MessageBoxW/A/ExW   take the next scripted answer and leave a transcript entry
//   MessageBeep         counted
//
// Nothing waits for a person: a box that only has OK is answered IDOK when no answer is
// scripted; any other unscripted box returns 0 and is counted, so a test that forgot to script
// a question sees it.
#include <windows.h>

#include <hvsim/user_hooks.h>

#include <deque>
#include <mutex>

#include "internal/user_internal.h"

namespace {

using namespace hvsim::user;

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

// The answers a box of this type can give.
bool answer_fits(UINT type, int answer) {
    switch (type & MB_TYPEMASK) {
    case MB_OK: return answer == IDOK;
    case MB_OKCANCEL: return answer == IDOK || answer == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return answer == IDABORT || answer == IDRETRY || answer == IDIGNORE;
    case MB_YESNOCANCEL: return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    case MB_RETRYCANCEL: return answer == IDRETRY || answer == IDCANCEL;
    case MB_CANCELTRYCONTINUE: return answer == IDCANCEL || answer == IDTRYAGAIN || answer == IDCONTINUE;
    default: return false;
    }
}

int show(HWND owner, std::u16string text, std::u16string caption, UINT type) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    MessageBoxEntry entry{owner, std::move(text), std::move(caption), type, 0, false};
    if ((type & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) {
        set_last_error(ERROR_INVALID_PARAMETER);
    } else if (!s.answers.empty()) {
        int answer = s.answers.front();
        s.answers.pop_front();
        entry.scripted = true;
        if (answer_fits(type, answer)) entry.answer = answer;
        else set_last_error(ERROR_INVALID_PARAMETER);
    } else if ((type & MB_TYPEMASK) == MB_OK) {
        entry.answer = IDOK;
    } else {
        ++s.unscripted;
        set_last_error(ERROR_INVALID_PARAMETER);
    }
    debugger_output("MessageBox: " + to_utf8(entry.caption) + ": " + to_utf8(entry.text) + "\n");
    int answer = entry.answer;
    s.transcript.push_back(std::move(entry));
    return answer;
}

std::u16string wide(LPCSTR text) { return text ? widen_ansi(text) : std::u16string(); }

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
    return show(hWnd, wide(lpText), lpCaption ? wide(lpCaption) : u"Error", uType);
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
