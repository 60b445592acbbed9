// A machine with the package installed and one adapter plugged, for the settings client and the
// settings pages: the port's device, its settings keys and the drivers' defaults.
#pragma once

#include "port_machine_fixture.h"

#include <prsht.h>

#include <hvsim/ui.h>

class SettingsMachineTest : public PortMachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a single-port adapter; an RS-422/485 port when asked (its bus set says so before the
    // adapter first arrives). Returns the port's instance ID, empty when it did not come.
    std::u16string plug_port(bool rs485 = false);
    // The port's settings key (UI1) and the bus device's.
    std::u16string port_settings_key() const;
    std::u16string bus_settings_key() const;
    static void set_dword(const std::u16string& key, const WCHAR* name, DWORD value);
    static void set_string(const std::u16string& key, const WCHAR* name, const std::u16string& value);
    static DWORD get_dword(const std::u16string& key, const WCHAR* name);
    // Another application's handle on the port's COM name.
    HANDLE hold_port_open() const;
    // The one message box so far is the open-port question.
    static void expect_port_open_question();

    std::u16string port_;
    std::u16string adapter_;
    std::unique_ptr<OpenedDevice> device_;
};

// One page alone in a modeless property sheet (no Apply button), driven as a user would; the
// sheet goes with the object.
class PageSheet {
public:
    template <class Page> explicit PageSheet(Page& page) {
        HPROPSHEETPAGE pages[] = {page.Create()};
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof header;
        header.dwFlags = PSH_MODELESS | PSH_PROPTITLE | PSH_NOAPPLYNOW;
        header.pszCaption = u"COM";
        header.nPages = 1;
        header.phpage = pages;
        window_ = reinterpret_cast<HWND>(PropertySheetW(&header));
        sheet_ = hvsim::ui::Sheet(window_);
    }
    ~PageSheet() {
        if (window_ && IsWindow(window_)) DestroyWindow(window_);
    }
    PageSheet(const PageSheet&) = delete;
    PageSheet& operator=(const PageSheet&) = delete;

    const hvsim::ui::Sheet& sheet() const { return sheet_; }
    hvsim::ui::Dialog page() const { return sheet_.page(); }
    bool ok() const { return sheet_.press(hvsim::ui::SheetButton::Ok) && sheet_.ended(); }
    bool cancel() const { return sheet_.press(hvsim::ui::SheetButton::Cancel) && sheet_.ended(); }

private:
    HWND window_ = nullptr;
    hvsim::ui::Sheet sheet_;
};
