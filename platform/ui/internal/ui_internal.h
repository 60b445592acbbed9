// Shared state of the window system: windows, classes, per-thread queues, dialogs.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <hvsim/sched.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hvsim::ui {

struct Queue;

// Per-window state of a built-in class (a control's items, a sheet's pages).
struct WindowModel {
    virtual ~WindowModel() = default;
};

struct WindowClass {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int class_extra = 0;
    int window_extra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    bool system = false;
    size_t windows = 0; // live windows of the class
};

// Dialog-manager state of a dialog window.
struct DialogState {
    bool ended = false;
    INT_PTR result = 0;
    bool modal = false;
    HFONT font = nullptr; // made from the template; deleted with the dialog
    int base_x = 6, base_y = 13;
    HWND saved_focus = nullptr;
};

struct Window {
    HWND handle = nullptr;
    std::shared_ptr<WindowClass> cls;
    std::shared_ptr<Queue> queue; // of the owning thread
    DWORD process_id = 0;
    HINSTANCE instance = nullptr;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD ex_style = 0;
    std::u16string text;
    LONG_PTR id = 0; // GWLP_ID
    LONG_PTR user_data = 0;
    std::vector<BYTE> extra;
    HWND parent = nullptr;
    HWND owner = nullptr;
    std::vector<HWND> children; // in z-order, the first on top (tab order of a dialog)
    RECT rect{};                // pixels, in the parent's client area
    RECT dialog_units{};        // as the template gave it (left, top, width, height), for rendering
    bool has_dialog_units = false;
    HFONT font = nullptr;
    HICON icon = nullptr;
    HMENU system_menu = nullptr;
    bool destroying = false;
    std::unique_ptr<DialogState> dialog;
    std::unique_ptr<WindowModel> model;
};
using WindowPtr = std::shared_ptr<Window>;

// A message sent from another thread, or a call made on the owner's behalf.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    std::function<LRESULT()> call;
    LRESULT result = 0;
    bool done = false; // guarded by the sender's queue mutex
    bool notify_only = false;
    std::shared_ptr<Queue> sender;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    int64_t period;
    int64_t due;
    TIMERPROC proc;
};

// One message queue per thread that uses the window system.
struct Queue {
    DWORD thread_id = 0;
    std::mutex mutex;
    sched::ConditionVariable wake;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::deque<MSG> posted;
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;
    bool ended = false;
    bool waiting = false; // in a message wait with nothing to do
    int handling_sent = 0;
    DWORD message_time = 0;
    // Touched only by the owning thread.
    HWND focus = nullptr;
    HWND active = nullptr;
    int modal_depth = 0;
};
using QueuePtr = std::shared_ptr<Queue>;

// ---- Windows (windows.cpp) -----------------------------------------------------------------------

// The window behind a handle; nullptr and ERROR_INVALID_WINDOW_HANDLE when it does not exist.
WindowPtr window_of(HWND hwnd);
// Same without touching the last error.
WindowPtr find_window(HWND hwnd);
// Every live window, in creation order.
std::vector<WindowPtr> all_windows();
std::recursive_mutex& windows_lock();
bool is_own_window(const Window& w);
std::u16string class_name_of(const Window& w);
// Registers a built-in class (Button, Edit...).
void register_system_class(const char16_t* name, WNDPROC proc, int window_extra = 0, UINT style = 0, ATOM atom = 0);
void ensure_system_classes();
// Destroys the windows of a thread that ended, without messages.
void drop_thread_windows(DWORD thread_id);
void destroy_all_windows();
HWND root_of(HWND hwnd);
bool visible_chain(const Window& w);

// The window's model of type T, or nullptr.
template <class T> T* model_of(const WindowPtr& w) { return w ? dynamic_cast<T*>(w->model.get()) : nullptr; }
template <class T> T* model_of(HWND hwnd) { return model_of<T>(find_window(hwnd)); }

// ---- Messages (message_queue.cpp) --------------------------------------------------------------

QueuePtr current_queue();
LRESULT call_procedure(const WindowPtr& w, UINT msg, WPARAM wp, LPARAM lp);
// Runs `call` on the thread that owns the window (at once when that is the caller).
LRESULT call_on_owner(const WindowPtr& w, std::function<LRESULT()> call);
// Handles what other threads sent to the calling thread; true when something was handled.
bool handle_sent_messages(const QueuePtr& q);
// A message loop that runs until `done` holds or WM_QUIT arrives (reposted for the outer loop).
void run_modal_loop(HWND window, const std::function<bool()>& done);
void wake_queue(const QueuePtr& q);
void end_thread_queue();
// Waiting for messages with nothing queued (or ended).
bool queue_idle(const QueuePtr& q);
// Sends WM_COMMAND to the parent for a control's notification.
void notify_parent_command(HWND control, UINT code);
LRESULT notify_parent(HWND control, UINT code, NMHDR* header);

// ---- Dialogs (dialogs.cpp, dialog_templates.cpp) ---------------------------------------------------

struct DialogItem {
    DWORD help_id = 0;
    DWORD ex_style = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::u16string class_name; // resolved from the ordinal
    std::u16string title;
    WORD title_resource = 0;
    std::vector<BYTE> creation_data;
};

struct DialogTemplate {
    bool extended = false;
    DWORD help_id = 0;
    DWORD ex_style = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::u16string menu;
    std::u16string class_name;
    std::u16string title;
    WORD point_size = 0;
    WORD weight = 0;
    bool italic = false;
    std::u16string face;
    std::vector<DialogItem> items;
};

// Parses a DLGTEMPLATE or DLGTEMPLATEEX of at most `size` bytes; nullopt when malformed.
std::optional<DialogTemplate> parse_dialog_template(const void* data, size_t size);
// The template of a module's dialog resource, or nullptr with the last error set.
const void* find_dialog_template(HINSTANCE instance, LPCWSTR name, size_t* size);

// Creates a dialog from a parsed template. Modal dialogs are created hidden.
HWND create_dialog(HINSTANCE instance, const DialogTemplate& tmpl, HWND parent, DLGPROC proc, LPARAM param, bool modal);
INT_PTR run_modal_dialog(HWND dialog, HWND owner);
DialogState* dialog_state(const WindowPtr& w);

// ---- Controls --------------------------------------------------------------------------------------

void register_dialog_class();
void register_button_class();
void register_static_class();
void register_edit_class();
void register_combo_box_class();
void register_trackbar_class();
void register_progress_class();
void register_animation_class();
void register_tooltip_class();
void register_tab_class();
bool is_property_sheet(HWND hwnd);

// The property sheet's tabs: one title a page.
struct TabModel : WindowModel {
    std::vector<std::u16string> titles;
    int current = -1;
};

// A click on a button as the user would make it (BM_CLICK's work).
void click_button(HWND button);
// A click on a static control (STN_CLICKED when it notifies).
void click_static(HWND control);
// Typing as the user would: the text replaced character by character.
void edit_user_type(HWND edit, std::u16string_view text);
// A combo box's edit field (nullptr for a drop-down list), and a pick from its list.
HWND combo_edit(HWND combo);
void combo_user_select(HWND combo, int index);
void trackbar_user_slide(HWND trackbar, int position);
// The tip a tool window shows, asked as the tip would ask (on the tip's thread).
struct TipText {
    std::u16string title;
    std::u16string text;
    int icon = 0;
};
std::optional<TipText> tooltip_text(HWND owner, HWND control);
// Handles of every icon that a built-in icon id names.
HICON system_icon(WORD id);

// ---- Modal loops seen by the machine (driving.cpp) -------------------------------------------------

// Called on the UI thread once a modal loop's window is shown, before its loop runs.
void visit_modal_loop(HWND window);

// ---- Menus (system.cpp) --------------------------------------------------------------------------

HMENU create_system_menu();
void destroy_menu(HMENU menu);
// Whether the menu still holds the command (SC_CLOSE...), and whether it is enabled.
bool menu_has_command(HMENU menu, UINT command, bool* enabled = nullptr);

// ---- GDI (gdi.cpp) -----------------------------------------------------------------------------------

HFONT create_dialog_font(const std::u16string& face, int points, int weight, bool italic);
bool is_gdi_object(HGDIOBJ object);

std::string utf8(std::u16string_view text);
std::u16string widen(const char* text);
std::string narrow(const std::u16string& text);
bool equal_no_case(std::u16string_view a, std::u16string_view b);

} // namespace hvsim::ui
