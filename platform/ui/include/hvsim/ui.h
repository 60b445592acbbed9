// C++ API of the window system for the machine and for tests: finding a program's dialogs and
// property sheets, driving them as a user would, reading their state, scripting what happens
// in modal loops, and seeing windows as text.
//
// Every call may come from any thread: what acts on a window runs on the thread that owns it,
// and waits until it has run (like a sent message).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <hvsim/ui_system.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvsim::ui {

// ---- Windows of the machine --------------------------------------------------------------------------

// Top-level windows, oldest first; of one process when process_id is non-zero.
std::vector<HWND> top_level_windows(DWORD process_id = 0);
// The newest visible top-level dialog or sheet whose caption is `title` (any, when empty).
HWND find_dialog(std::u16string_view title = {}, DWORD process_id = 0);
// The newest visible property sheet or wizard.
HWND find_sheet(std::u16string_view title = {}, DWORD process_id = 0);

// ---- Driving a dialog -------------------------------------------------------------------------------

// A control kind, as the listing names it.
std::string control_kind(HWND control);

class Dialog {
public:
    explicit Dialog(HWND dialog = nullptr) : hwnd_(dialog) {}
    HWND hwnd() const { return hwnd_; }
    bool exists() const;
    HWND item(int id) const;

    // As the user would: false when the control is missing, disabled or hidden.
    // Typing replaces the text of an edit field (a combo box's too) and notifies EN_CHANGE or
    // CBN_EDITCHANGE; an ES_NUMBER field refuses what is not a digit, as Windows does.
    bool type(int id, std::u16string_view text) const;
    // Picks a combo box item (by index or text) and notifies CBN_SELCHANGE.
    bool select(int id, int index) const;
    bool select(int id, std::u16string_view item_text) const;
    // A button (check boxes and radio buttons toggle as Windows toggles them) or a notifying static.
    bool click(int id) const;
    // Moves a trackbar's thumb and notifies WM_HSCROLL (or WM_VSCROLL) as a drag ends.
    bool slide(int id, int position) const;
    // WM_HELP for the control, as F1 or the "?" button would send it.
    bool help(int id) const;

    // Reading. id 0 is the dialog itself.
    std::u16string text(int id = 0) const;
    bool checked(int id) const;
    bool enabled(int id) const;
    bool visible(int id) const;
    std::vector<std::u16string> items(int id) const; // a combo box's list
    int selection(int id) const;                     // CB_ERR when none
    int position(int id) const;                      // a trackbar or progress bar
    std::pair<int, int> range(int id) const;         // of a trackbar or progress bar
    // The tool tip that a control shows: its title and text, asked as the tip would ask.
    struct Tip {
        std::u16string title;
        std::u16string text;
        int icon = 0; // TTI_*, or -1 for an icon handle
    };
    std::optional<Tip> tip(int id) const;

    // One line per control: id, kind, text and state, in tab order.
    std::string listing() const;
    // The window on a character grid from its dialog units.
    std::string render() const;

protected:
    HWND hwnd_;
};

enum class SheetButton { Ok, Cancel, Apply, Help, Back, Next, Finish };

class Sheet : public Dialog {
public:
    explicit Sheet(HWND sheet = nullptr) : Dialog(sheet) {}
    bool wizard() const;
    // The page shown; an ended sheet has none.
    HWND page_window() const;
    Dialog page() const { return Dialog(page_window()); }
    int page_index() const;
    std::vector<std::u16string> page_titles() const;
    // A tab chosen as the user would (PSN_KILLACTIVE can refuse it).
    bool select_page(std::u16string_view title) const;
    bool select_page(int index) const;
    // A button pressed as the user would: false when it is disabled or hidden.
    bool press(SheetButton button) const;
    bool button_enabled(SheetButton button) const;
    bool button_visible(SheetButton button) const;
    std::u16string header_title() const;
    std::u16string header_subtitle() const;
    // OK, Cancel or Finish has ended it (a modeless sheet waits for its owner to destroy it).
    bool ended() const;
};

// ---- Modal loops ------------------------------------------------------------------------------------

// Visitors run, one per modal loop in order, on the loop's thread once its window is shown:
// DialogBox, a modal PropertySheet. A visitor drives the window (it may start further modal
// loops, visited in turn) or returns leaving it to other threads. A modal loop that nothing is
// scripted for is counted and ended with Cancel, as an unscripted message box fails.
using ModalVisitor = std::function<void(HWND window)>;
void script_modal_visitors(std::vector<ModalVisitor> visitors);
// While set, a modal loop that nothing is scripted for is left to its program's own threads (an
// unattended run, whose wizard ends itself) instead of being cancelled and counted.
void leave_unscripted_modal_loops(bool leave);
size_t unscripted_modal_loops();
// The captions of the modal loops run so far.
std::vector<std::u16string> modal_transcript();
void reset_modal_loops();
// The calling thread's next modal loop is a program's main window that is driven from outside
// (Device Manager's sheet): it takes no visitor and is not counted as unscripted; loops within
// it are visited as any other.
void leave_next_modal_loop_to_others();

// ---- Waiting --------------------------------------------------------------------------------------

// Waits in machine time until `condition` holds (checked on every millisecond of machine time,
// the calling thread's own messages handled meanwhile);
// false after `timeout`.
bool wait_until(const std::function<bool()>& condition, int64_t timeout_ticks = 60LL * 10'000'000);
// Until every thread with windows waits for messages with nothing queued.
bool wait_idle(int64_t timeout_ticks = 60LL * 10'000'000);

// ---- GDI, help and the shell ------------------------------------------------------------------------

struct GdiCounts {
    size_t total = 0;
    size_t brushes = 0;
    size_t pens = 0;
    size_t fonts = 0;
    size_t bitmaps = 0;
    size_t device_contexts = 0;
};
// Live objects (stock objects not counted).
GdiCounts gdi_objects();
std::optional<COLORREF> brush_color(HBRUSH brush);

struct HelpCall {
    HWND caller = nullptr;
    std::u16string file;
    UINT command = 0;
    DWORD_PTR data = 0;
    // HH_TP_HELP_WM_HELP: the (control id, context id) pairs of the table passed.
    std::vector<std::pair<DWORD, DWORD>> ids;
};
// What the machine's hhctrl.ocx was asked, in order.
std::vector<HelpCall> help_calls();
struct ShellCall {
    HWND hwnd = nullptr;
    std::u16string operation;
    std::u16string file;
    std::u16string parameters;
    std::u16string directory;
    int show = 0;
};
std::vector<ShellCall> shell_calls();
void reset_help_and_shell();
// Records a call of the hhctrl.ocx stand-in (its export calls this).
void record_help_call(HelpCall call);

} // namespace hvsim::ui
