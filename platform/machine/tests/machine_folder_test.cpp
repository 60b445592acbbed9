// One machine folder under several hvsim commands at once, saves that cannot go through, and what
// is left in the folder afterwards.
#include <hvsim/machine.h>

#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "support/folder_test.h"

namespace {

using hvtest::shell_quote;

class MachineFolder : public hvtest::FolderTest {
protected:
    hvtest::CommandResult hvsim(const std::string& arguments, const std::string& environment = "") const {
        return hvtest::run_command(environment + " " + shell_quote(HVSIM_EXECUTABLE) + " --root " +
                                   shell_quote(machine_root().string()) + " --clock virtual " + arguments);
    }
    // Files a save left behind under a temporary name.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(machine_root()))
            if (entry.path().filename().string().find(".new") != std::string::npos) out.push_back(entry.path());
        return out;
    }
};

TEST_F(MachineFolder, ParallelPlugsAndUnplugsEachTakeEffectAndSaySoOrRefuseAndSaySo) {
    ASSERT_EQ(hvsim("plug ftdi:wire=loopback").status, 0);
    std::set<std::string> expected{"usb1"};
    const std::regex plugged(R"(^(usb\d+) = ftdi:\S+ \(present from the next boot\)\n$)");
    size_t refused = 0;
    for (int round = 0; round < 7; ++round) {
        // Four plugs and an unplug of a device saved before the round, all at once.
        const std::string victim = *expected.begin();
        std::vector<hvtest::CommandResult> results(5);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] {
                results[i] = i == 0 ? hvsim("unplug " + victim) : hvsim("plug ftdi:interfaces=2,wire=loopback/open");
            });
        for (auto& t : threads) t.join();

        ASSERT_EQ(results[0].status, 0) << results[0].output;
        EXPECT_EQ(results[0].output, "removed " + victim + " (gone from the next boot)\n");
        expected.erase(victim);
        for (size_t i = 1; i < results.size(); ++i) {
            std::smatch match;
            // Once the root hub's ports are all taken, a plug is refused.
            if (results[i].status == 1 &&
                results[i].output.find("the root hub has no free port") != std::string::npos) {
                ++refused;
                continue;
            }
            ASSERT_EQ(results[i].status, 0) << results[i].output;
            ASSERT_TRUE(std::regex_match(results[i].output, match, plugged)) << results[i].output;
            EXPECT_TRUE(expected.insert(match[1]).second) << "two plugs were given " << match[1];
        }
        std::set<std::string> saved;
        for (auto& [id, spec] : hvsim::saved_usb_devices(machine_root())) saved.insert(id);
        ASSERT_EQ(saved, expected) << "round " << round;
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GE(expected.size(), 15u); // the last unplug may have come after the last plug
    EXPECT_TRUE(leftovers().empty());
    // The folder boots with every saved device.
    const auto devices = hvsim("devices");
    EXPECT_EQ(devices.status, 0) << devices.output;
    for (const auto& id : expected) EXPECT_NE(devices.output.find(id + " on port"), std::string::npos) << id;
}

TEST_F(MachineFolder, ParallelBootsTakeTurnsAndEachShutsDownCleanly) {
    std::vector<hvtest::CommandResult> results(3);
    std::vector<std::thread> threads;
    for (auto& result : results) threads.emplace_back([&] { result = hvsim("devices"); });
    for (auto& t : threads) t.join();
    for (const auto& result : results) {
        EXPECT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("USB devices: (none)"), std::string::npos) << result.output;
    }
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(MachineFolder, ASecondCommandWaitsABoundedTimeThenNamesTheProcessInTheWay) {
    hvsim::FolderLock held(machine_root(), std::chrono::milliseconds(0));
    const auto start = std::chrono::steady_clock::now();
    for (const char* command : {"devices", "plug ftdi", "unplug usb1"}) {
        const auto result = hvsim(command, "HVSIM_LOCK_WAIT=0.3");
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_NE(result.output.find("machine folder in use by process " + std::to_string(::getpid())),
                  std::string::npos)
            << result.output;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_FALSE(std::filesystem::exists(machine_root() / "usb.txt"));
}

TEST_F(MachineFolder, ASaveThatFailsIsAnErrorAndTheMachineStillShutsDown) {
    ASSERT_EQ(hvsim("devices").status, 0);
    // A folder in the way of each file in turn: the save is refused with the file named.
    for (const char* file : {"machine.txt", "registry.txt", "logs/debugger.log"}) {
        const auto obstacle = machine_root() / file;
        std::filesystem::remove(obstacle);
        std::filesystem::create_directories(obstacle / "in-the-way");
        const auto result = hvsim("devices");
        EXPECT_EQ(result.status, 1) << file << ": " << result.output;
        EXPECT_NE(result.output.find(obstacle.string()), std::string::npos) << file << ": " << result.output;
        EXPECT_EQ(result.output.find("terminate"), std::string::npos) << result.output;
        std::filesystem::remove_all(obstacle);
        EXPECT_TRUE(leftovers().empty()) << file;
    }
    // Once the obstacles are gone, the folder is a machine as before.
    const auto result = hvsim("devices");
    EXPECT_EQ(result.status, 0) << result.output;
}

TEST_F(MachineFolder, ShutdownReportsARegistryItCouldNotSave) {
    hvsim::MachineOptions options;
    options.root = machine_root();
    options.clock = hvsim::ClockMode::Virtual;
    hvsim::Machine machine(options);
    std::filesystem::create_directories(machine_root() / "registry.txt" / "in-the-way");
    try {
        machine.shutdown();
        FAIL() << "the shutdown did not report the registry it could not save";
    } catch (const hvsim::MachineError& e) {
        EXPECT_NE(std::string(e.what()).find("registry was not saved"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(machine.running());
    // The logs were saved all the same.
    EXPECT_TRUE(std::filesystem::exists(machine_root() / "logs" / "debugger.log"));
}

} // namespace
