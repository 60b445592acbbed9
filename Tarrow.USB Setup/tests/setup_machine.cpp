#include "setup_machine.h"

#include <hvsim/format.h>
#include <hvsim/ui.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

void SetupMachineTest::SetUp() {
    PortMachineTest::SetUp();
    if (HasFatalFailure()) return;
    medium_ = hvsim::installable_package(HV_BUILT_PACKAGE_DIR);
    ASSERT_TRUE(fs::exists(medium_ / "Tarrow Setup.exe")) << medium_;
    hvsim::user::reset_comdb_hooks();
    hvsim::user::reset_cm_hooks();
    hvsim::ui::reset_modal_loops();
}

void SetupMachineTest::TearDown() {
    EXPECT_EQ(0u, hvsim::ui::unscripted_modal_loops());
    hvsim::ui::reset_modal_loops();
    PortMachineTest::TearDown();
}

hvsim::ProgramRun SetupMachineTest::run_setup(const std::vector<std::u16string>& args,
                                              std::optional<hvsim::user::TokenKind> token, const fs::path& medium) {
    machine_->set_media(medium.empty() ? medium_ : medium);
    hvsim::RunOptions options;
    options.current_directory = u"D:\\";
    options.token = token;
    options.capture = true;
    hvsim::ProgramRun run = machine_->run_program("D:\\Tarrow Setup.exe", args, options);
    hvsim::user::wait_for_device_installations();
    return run;
}

fs::path SetupMachineTest::medium_copy(const std::string& name, const char* corrupt, const char* drop) {
    const fs::path copy = root_ / name;
    fs::create_directories(copy);
    for (const auto& entry : fs::directory_iterator(medium_)) {
        if (!entry.is_regular_file()) continue;
        const std::string file = entry.path().filename().string();
        if (drop && file == drop) continue;
        fs::copy_file(entry.path(), copy / file, fs::copy_options::overwrite_existing);
    }
    if (corrupt) std::ofstream(copy / corrupt, std::ios::binary) << "this is no INF file\r\n[broken\r\n";
    return copy;
}

std::vector<hvsim::ComPort> SetupMachineTest::ports_of_adapter() {
    return hvsim::wait_for_com_ports(*machine_, adapter_, 2);
}

std::vector<hvsim::ComPort> SetupMachineTest::install_and_plug() {
    hvsim::ProgramRun run = run_setup({u"/s"});
    EXPECT_EQ(0u, run.exit_code) << run.output;
    adapter_ = machine_->plug("ftdi:interfaces=2,wire=loopback");
    auto ports = ports_of_adapter();
    for (const auto& port : ports) EXPECT_FALSE(port.name.empty()) << machine_->device_tree_text();
    return ports;
}

bool SetupMachineTest::in_store(const char* inf) const {
    const std::string text = contents(medium_ / inf);
    for (const auto& entry : fs::directory_iterator(machine_->inf_directory()))
        if (entry.path().extension() == ".inf" && contents(entry.path()) == text) return true;
    return false;
}

std::vector<std::string> SetupMachineTest::store_files() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(machine_->inf_directory()))
        files.push_back(entry.path().filename().string() + ":" + contents(entry.path()));
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<DWORD> SetupMachineTest::released_numbers() {
    std::vector<DWORD> numbers;
    for (const auto& call : hvsim::user::comdb_calls())
        if (call.routine == "ComDBReleasePort") numbers.push_back(call.port);
    return numbers;
}

void SetupMachineTest::expect_data_moves(const hvsim::ComPort& port, size_t index) {
    hvsim::DemoOptions options;
    options.bytes = 4096;
    std::ostringstream log;
    auto failure = hvsim::serial_exchange(port.name, index, options, log);
    EXPECT_FALSE(failure.has_value()) << hvsim::text::to_utf8(port.name) << ": " << failure.value_or("") << "\n"
                                      << log.str();
}
