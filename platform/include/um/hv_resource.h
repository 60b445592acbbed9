// Resources of an image: what a resource script compiles into a Windows image. An image declares
// its string table in one of its sources; the table is part of the image, is registered with
// the loader when the image is loaded and dropped when it is unloaded, so that LoadString finds
// it by the image's module handle (the hInstance of DllMain, or NULL for the program's own image):
//
//   HV_STRINGTABLE_BEGIN
//       HV_STRING(IDS_RENAME_FAILED, u"There was an error renaming the COM port.")
//   HV_STRINGTABLE_END
//
// In a static library the table goes into a source that the image uses anyway (the one that
// loads the strings), since the linker takes only the objects something refers to.
#pragma once

#include <windef.h>
#include <winuser.h>

typedef struct HV_STRING_RESOURCE {
    UINT Id; // 0 to 65535, each once per image
    LPCWSTR Text;
} HV_STRING_RESOURCE;

HV_EXTERN_C_BEGIN

// Called by the image's declared table as the loader maps and unmaps the image.
HV_API void WINAPI HvRegisterImageStrings(const HV_STRING_RESOURCE* table, SIZE_T count);
HV_API void WINAPI HvUnregisterImageStrings(const HV_STRING_RESOURCE* table);

HV_EXTERN_C_END

#define HV_STRINGTABLE_BEGIN                                                                                         \
    namespace {                                                                                                      \
    const HV_STRING_RESOURCE hv_image_string_table[] = {
#define HV_STRING(id, text) {(id), (text)},
#define HV_STRINGTABLE_END                                                                                           \
    }                                                                                                                \
    ;                                                                                                                \
    struct HvImageStringTable {                                                                                      \
        HvImageStringTable() {                                                                                       \
            HvRegisterImageStrings(hv_image_string_table,                                                            \
                                   sizeof hv_image_string_table / sizeof hv_image_string_table[0]);                  \
        }                                                                                                            \
        ~HvImageStringTable() { HvUnregisterImageStrings(hv_image_string_table); }                                   \
    } const hv_image_string_table_registration;                                                                      \
    }

// ---- Dialog templates -----------------------------------------------------------------------------
//
// An image's dialogs, declared as the resource script would, one line a statement:
//
//   HV_DIALOGS_BEGIN
//       HV_DIALOGEX(IDD_PORT, 0, 0, 252, 218, DS_SETFONT | WS_CHILD | WS_CAPTION, u"Port Settings")
//       HV_FONT(8, u"MS Shell Dlg")
//           HV_LTEXT(u"&Baud rate:", 222, 14, 30, 60, 8)
//           HV_COMBOBOX(841, 80, 28, 80, 120, CBS_DROPDOWN | WS_VSCROLL)
//           HV_AUTOCHECKBOX(u"Override", 206, 170, 30, 50, 10)
//           HV_ICON(IDI_NOTE, 239, 10, 180, HV_NOT(WS_VISIBLE))
//           HV_CONTROL(u"", 262, TRACKBAR_CLASSW, TBS_AUTOTICKS | WS_TABSTOP, 10, 60, 150, 15)
//   HV_DIALOGS_END
//
// Each control takes WS_CHILD | WS_VISIBLE and the statement's own default style, plus the
// styles given last; HV_NOT(style) takes a default style away, as NOT does in a script. The
// loader lays each dialog out as an extended in-memory template (DLGTEMPLATEEX), found with
// FindResourceW(module, MAKEINTRESOURCEW(id), RT_DIALOG) and given to the dialog calls.

#define HV_DIALOG_LINE_DIALOG 1
#define HV_DIALOG_LINE_FONT 2
#define HV_DIALOG_LINE_CONTROL 3

typedef struct HV_DIALOG_LINE {
    UINT Kind;
    UINT Id;           // the dialog's resource id, or the control's id; the font's point size
    LPCWSTR ClassName; // a control class by name, or NULL with ClassAtom
    WORD ClassAtom;    // 0x0080 Button, 0x0081 Edit, 0x0082 Static, 0x0085 ComboBox
    LPCWSTR Text;      // the caption or text; the font's face
    WORD TextResource; // non-zero: the text is this resource id (an icon of SS_ICON)
    DWORD Style;
    DWORD StyleRemoved;
    DWORD ExStyle;
    short X, Y, Cx, Cy; // dialog units
} HV_DIALOG_LINE;

HV_EXTERN_C_BEGIN
HV_API void WINAPI HvRegisterImageDialogs(const HV_DIALOG_LINE* table, SIZE_T count);
HV_API void WINAPI HvUnregisterImageDialogs(const HV_DIALOG_LINE* table);
HV_EXTERN_C_END

#ifdef __cplusplus
// Styles of a statement: those added and those taken away (HV_NOT).
struct HvStyle {
    DWORD on = 0;
    DWORD off = 0;
    constexpr HvStyle() = default;
    constexpr HvStyle(DWORD style) : on(style) {}
    constexpr HvStyle(DWORD added, DWORD removed) : on(added), off(removed) {}
};
constexpr HvStyle operator|(HvStyle a, HvStyle b) { return HvStyle(a.on | b.on, a.off | b.off); }
constexpr HvStyle HV_NOT(DWORD style) { return HvStyle(0, style); }

constexpr HV_DIALOG_LINE hv_dialog_control(WORD atom, LPCWSTR class_name, LPCWSTR text, WORD text_resource, UINT id,
                                           int x, int y, int cx, int cy, DWORD defaults, HvStyle extra,
                                           DWORD ex_style = 0) {
    return HV_DIALOG_LINE{HV_DIALOG_LINE_CONTROL, id, class_name, atom, text, text_resource,
                          ((0x40000000u | 0x10000000u | defaults) | extra.on) & ~extra.off,
                          extra.off, ex_style, short(x), short(y), short(cx), short(cy)};
}
// A combo box's type (simple, drop-down, drop-down list) given replaces the default CBS_SIMPLE.
constexpr HvStyle hv_combo_style(HvStyle extra) {
    return (extra.on & 0x3u) ? extra : HvStyle(extra.on | 0x1u, extra.off);
}
#endif

#define HV_DIALOGEX(id, x, y, cx, cy, style, caption)                                                              \
    HV_DIALOG_LINE{HV_DIALOG_LINE_DIALOG, (id),    nullptr,  0,        (caption), 0,                               \
                   (DWORD)(style),        0,       0,        short(x), short(y),  short(cx),                       \
                   short(cy)},
#define HV_DIALOG_EXSTYLE(id, x, y, cx, cy, style, ex_style, caption)                                              \
    HV_DIALOG_LINE{HV_DIALOG_LINE_DIALOG, (id),    nullptr,         0,        (caption), 0,                        \
                   (DWORD)(style),        0,       (DWORD)ex_style, short(x), short(y),  short(cx),                \
                   short(cy)},
#define HV_FONT(points, face)                                                                                        \
    HV_DIALOG_LINE{HV_DIALOG_LINE_FONT, (points), nullptr, 0, (face), 0, 0, 0, 0, 0, 0, 0, 0},

#define HV_LTEXT(text, id, x, y, cx, cy, ...)                                                                        \
    hv_dialog_control(0x82, nullptr, text, 0, id, x, y, cx, cy, SS_LEFT | WS_GROUP, HvStyle(__VA_ARGS__)),
#define HV_RTEXT(text, id, x, y, cx, cy, ...)                                                                        \
    hv_dialog_control(0x82, nullptr, text, 0, id, x, y, cx, cy, SS_RIGHT | WS_GROUP, HvStyle(__VA_ARGS__)),
#define HV_CTEXT(text, id, x, y, cx, cy, ...)                                                                        \
    hv_dialog_control(0x82, nullptr, text, 0, id, x, y, cx, cy, SS_CENTER | WS_GROUP, HvStyle(__VA_ARGS__)),
#define HV_ICON(icon, id, x, y, ...)                                                                                 \
    hv_dialog_control(0x82, nullptr, nullptr, icon, id, x, y, 0, 0, SS_ICON, HvStyle(__VA_ARGS__)),
#define HV_PUSHBUTTON(text, id, x, y, cx, cy, ...)                                                                   \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_PUSHBUTTON | WS_TABSTOP, HvStyle(__VA_ARGS__)),
#define HV_DEFPUSHBUTTON(text, id, x, y, cx, cy, ...)                                                                \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_DEFPUSHBUTTON | WS_TABSTOP,                      \
                      HvStyle(__VA_ARGS__)),
#define HV_CHECKBOX(text, id, x, y, cx, cy, ...)                                                                     \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_CHECKBOX | WS_TABSTOP, HvStyle(__VA_ARGS__)),
#define HV_AUTOCHECKBOX(text, id, x, y, cx, cy, ...)                                                                 \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_AUTOCHECKBOX | WS_TABSTOP,                       \
                      HvStyle(__VA_ARGS__)),
#define HV_RADIOBUTTON(text, id, x, y, cx, cy, ...)                                                                  \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_RADIOBUTTON, HvStyle(__VA_ARGS__)),
#define HV_AUTORADIOBUTTON(text, id, x, y, cx, cy, ...)                                                              \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_AUTORADIOBUTTON, HvStyle(__VA_ARGS__)),
#define HV_GROUPBOX(text, id, x, y, cx, cy, ...)                                                                     \
    hv_dialog_control(0x80, nullptr, text, 0, id, x, y, cx, cy, BS_GROUPBOX, HvStyle(__VA_ARGS__)),
#define HV_EDITTEXT(id, x, y, cx, cy, ...)                                                                           \
    hv_dialog_control(0x81, nullptr, u"", 0, id, x, y, cx, cy, ES_LEFT | WS_BORDER | WS_TABSTOP,                   \
                      HvStyle(__VA_ARGS__)),
#define HV_COMBOBOX(id, x, y, cx, cy, ...)                                                                           \
    hv_dialog_control(0x85, nullptr, u"", 0, id, x, y, cx, cy, WS_TABSTOP, hv_combo_style(HvStyle(__VA_ARGS__))),
#define HV_CONTROL(text, id, class_name, style, x, y, cx, cy, ...)                                                   \
    hv_dialog_control(0, class_name, text, 0, id, x, y, cx, cy, style, HvStyle(), __VA_ARGS__ + 0),

#define HV_DIALOGS_BEGIN                                                                                             \
    namespace {                                                                                                      \
    constexpr HV_DIALOG_LINE hv_image_dialog_table[] = {
#define HV_DIALOGS_END                                                                                               \
    }                                                                                                                \
    ;                                                                                                                \
    struct HvImageDialogTable {                                                                                      \
        HvImageDialogTable() {                                                                                       \
            HvRegisterImageDialogs(hv_image_dialog_table,                                                            \
                                   sizeof hv_image_dialog_table / sizeof hv_image_dialog_table[0]);                  \
        }                                                                                                            \
        ~HvImageDialogTable() { HvUnregisterImageDialogs(hv_image_dialog_table); }                                   \
    } const hv_image_dialog_table_registration;                                                                      \
    }

// ---- Other resources ---------------------------------------------------------------------------------
//
// Bitmaps, icons, animations and raw data of an image, found by type and id. Pictures carry
// their size and depth only; nothing is drawn.
//
//   HV_RESOURCES_BEGIN
//       HV_BITMAP(129, 49, 49, 24)
//       HV_ICON(136, 48, 48)
//       HV_AVI(134)
//   HV_RESOURCES_END

typedef struct HV_RESOURCE_LINE {
    WORD Type; // RT_BITMAP 2, RT_ICON 3, RT_RCDATA 10, RT_GROUP_ICON 14, or a type of the image's own
    UINT Id;
    LONG Width;
    LONG Height;
    WORD BitsPerPixel;
    const void* Data;
    DWORD Size;
} HV_RESOURCE_LINE;

#define HV_RESOURCE_TYPE_AVI 0x4156 // the image's "AVI" type, as resource scripts name it

HV_EXTERN_C_BEGIN
HV_API void WINAPI HvRegisterImageResources(const HV_RESOURCE_LINE* table, SIZE_T count);
HV_API void WINAPI HvUnregisterImageResources(const HV_RESOURCE_LINE* table);
HV_EXTERN_C_END

#define HV_BITMAP(id, cx, cy, bits) HV_RESOURCE_LINE{2, (id), (cx), (cy), (bits), nullptr, 0},
#define HV_ICON_RESOURCE(id, cx, cy) HV_RESOURCE_LINE{14, (id), (cx), (cy), 32, nullptr, 0},
#define HV_AVI(id) HV_RESOURCE_LINE{HV_RESOURCE_TYPE_AVI, (id), 0, 0, 0, nullptr, 0},
#define HV_RCDATA(id, data, size) HV_RESOURCE_LINE{10, (id), 0, 0, 0, (data), (DWORD)(size)},

#define HV_RESOURCES_BEGIN                                                                                           \
    namespace {                                                                                                      \
    constexpr HV_RESOURCE_LINE hv_image_resource_table[] = {
#define HV_RESOURCES_END                                                                                             \
    }                                                                                                                \
    ;                                                                                                                \
    struct HvImageResourceTable {                                                                                    \
        HvImageResourceTable() {                                                                                     \
            HvRegisterImageResources(hv_image_resource_table,                                                        \
                                     sizeof hv_image_resource_table / sizeof hv_image_resource_table[0]);            \
        }                                                                                                            \
        ~HvImageResourceTable() { HvUnregisterImageResources(hv_image_resource_table); }                             \
    } const hv_image_resource_table_registration;                                                                    \
    }
