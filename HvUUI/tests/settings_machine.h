// A machine with the package installed and one adapter plugged, for the settings client and the
// settings pages: the port's device, its settings keys and the drivers' defaults.
#pragma once

#include "port_machine_fixture.h"

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

    std::u16string port_;
    std::u16string adapter_;
    std::unique_ptr<OpenedDevice> device_;
};
