// The port machine with the package's setup program: the package folder the build makes,
// offered as the medium D:, the setup program run from it, and what the tests look at
// afterwards.
#pragma once

#include "port_machine_fixture.h"

#include <serial_tools.h>

#include <optional>
#include <string>
#include <vector>

class SetupMachineTest : public PortMachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs D:\Tarrow Setup.exe from the medium (or from `medium` when given) in the folder D:\.
    hvsim::ProgramRun run_setup(const std::vector<std::u16string>& args,
                                std::optional<hvsim::user::TokenKind> token = std::nullopt,
                                const std::filesystem::path& medium = {});
    // A copy of the medium; `corrupt` names an INF whose text is replaced by garbage, `drop` one
    // that is left out.
    std::filesystem::path medium_copy(const std::string& name, const char* corrupt = nullptr,
                                      const char* drop = nullptr);
    // The installed package with a two-port adapter plugged: its two COM ports.
    std::vector<hvsim::ComPort> install_and_plug();
    std::vector<hvsim::ComPort> ports_of_adapter();
    // Whether the store holds a copy of the medium's INF.
    bool in_store(const char* inf) const;
    std::vector<std::string> store_files() const;
    // The COM numbers released in the COM port database since the last reset.
    static std::vector<DWORD> released_numbers();
    // Sends data through the port and expects it back.
    static void expect_data_moves(const hvsim::ComPort& port, size_t index);

    std::filesystem::path medium_;
    std::string adapter_;
};
