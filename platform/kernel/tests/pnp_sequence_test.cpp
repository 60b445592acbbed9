// The PnP sequence of a root-enumerated device: loading, AddDevice, start and the queries after
// it, removal in its forms, and the problem codes of the ways it can fail.
#include "pnp_test_support.h"

#include <hvsim/pool.h>

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

using PnpSequence = PnpMachine;

const std::vector<std::string> kStartSequence = {
    "AddDevice", "PNP 0x0b", "PNP 0x0d", "PNP 0x0a", "PNP 0x00", "PNP 0x09", "PNP 0x14", "PNP 0x07 0",
};

TEST_F(PnpSequence, RootDeviceStartsWithWindowsOrderAndItsDeviceKey) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    EXPECT_EQ(id, u"ROOT\\HVTESTFUNC\\0000");
    pnp::start_tree();

    std::vector<std::string> seen = events("HVTF");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0], "DriverEntry '\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\hvtestfunc'");
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()), kStartSequence);

    pnp::DevInst dev = node(id);
    ASSERT_NE(dev, pnp::no_node);
    auto info = pnp::node_info(dev);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->state, pnp::NodeState::Started);
    EXPECT_EQ(info->problem, 0u);
    EXPECT_TRUE(info->status & pnp::dn::started);
    EXPECT_TRUE(info->status & pnp::dn::root_enumerated);
    EXPECT_EQ(info->parent, pnp::root_node);
    EXPECT_EQ(info->hardware_ids, std::vector<std::u16string>{u"root\\hvtestfunc"});
    EXPECT_EQ(info->service, u"hvtestfunc");
    EXPECT_TRUE(ldr::is_loaded(u"HVTESTFUNC"));
    // The stack: the root bus's PDO below the driver's FDO.
    auto stack = pnp::device_stack(dev);
    ASSERT_EQ(stack.size(), 2u);
    EXPECT_EQ(stack[0], info->pdo);
    EXPECT_EQ(stack[1]->DriverObject, ldr::loaded_drivers().at(0).driver_object);
    for (auto* device : stack) ObDereferenceObject(device);
    EXPECT_EQ(registry::get_dword(kEnum + id, u"ConfigFlags"), 0u);
    EXPECT_TRUE(registry::get_dword(kEnum + id, u"Capabilities"));
}

TEST_F(PnpSequence, SurpriseRemovalWaitsForTheLastHandleThenRemovesAndUnloads) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    io::FileObject* file = nullptr;
    ASSERT_EQ(io::open_file({pnp::node_info(dev)->pdo_name}, &file), STATUS_SUCCESS);

    debug_log::clear();
    pnp::surprise_remove(dev);
    pnp::wait_quiet();
    EXPECT_EQ(events("HVTF"), std::vector<std::string>{"PNP 0x17"});
    EXPECT_EQ(pnp::state_of(dev), pnp::NodeState::SurpriseRemoved);

    io::close_file(file);
    pnp::wait_quiet();
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"PNP 0x17", "PNP 0x02", "UNLOAD"}));
    EXPECT_EQ(node(id), pnp::no_node); // gone from its bus, gone from the tree
    EXPECT_FALSE(ldr::is_loaded(u"hvtestfunc"));
    EXPECT_TRUE(registry::key_exists(kEnum + id)); // the device key stays, as Windows keeps it
}

TEST_F(PnpSequence, RefusedQueryRemoveIsCancelledAndKeepsTheDevice) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc", {{u"RefuseQueryRemove", 1}});
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    debug_log::clear();

    pnp::Veto veto = pnp::remove_device(dev);
    EXPECT_TRUE(veto.vetoed());
    EXPECT_EQ(veto.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(veto.vetoed_by, dev);
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"PNP 0x01", "PNP 0x03"}));
    EXPECT_EQ(pnp::state_of(dev), pnp::NodeState::Started);
    EXPECT_TRUE(ldr::is_loaded(u"hvtestfunc"));

    EXPECT_TRUE(pnp::disable_device(dev).vetoed()); // a disable asks the same question
}

TEST_F(PnpSequence, DriverUnloadsOnlyWhenItsLastDeviceIsRemoved) {
    std::u16string first = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    std::u16string second = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    EXPECT_EQ(second, u"ROOT\\HVTESTFUNC\\0001");
    pnp::start_tree();
    EXPECT_EQ(events("HVTF").front().rfind("DriverEntry", 0), 0u);
    EXPECT_EQ(count_of(events("HVTF"), "AddDevice"), 2);

    EXPECT_FALSE(pnp::remove_device(node(first)).vetoed());
    EXPECT_TRUE(ldr::is_loaded(u"hvtestfunc"));
    EXPECT_EQ(ldr::loaded_drivers().at(0).device_count, 1u);
    EXPECT_EQ(pnp::state_of(node(first)), pnp::NodeState::Removed); // still listed by its bus

    EXPECT_FALSE(pnp::remove_device(node(second)).vetoed());
    EXPECT_FALSE(ldr::is_loaded(u"hvtestfunc"));
    EXPECT_EQ(events("HVTF").back(), "UNLOAD");

    // A removed device that its bus still lists comes back when restarted.
    EXPECT_FALSE(pnp::restart_device(node(first)).vetoed());
    EXPECT_EQ(pnp::state_of(node(first)), pnp::NodeState::Started);
}

TEST_F(PnpSequence, DisableRemovesWithProblem22AndEnableStartsAgain) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    debug_log::clear();

    EXPECT_FALSE(pnp::disable_device(dev).vetoed());
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"PNP 0x01", "PNP 0x02", "UNLOAD"}));
    EXPECT_EQ(pnp::problem_of(dev), pnp::prob::disabled);
    EXPECT_TRUE(pnp::status_of(dev) & pnp::dn::has_problem);
    EXPECT_EQ(registry::get_dword(kEnum + id, u"ConfigFlags").value_or(0) & pnp::configflag::disabled, 1u);

    // Stays disabled across a restart of the tree.
    pnp::stop_tree();
    pnp::start_tree();
    dev = node(id);
    EXPECT_EQ(pnp::problem_of(dev), pnp::prob::disabled);

    debug_log::clear();
    EXPECT_EQ(pnp::enable_device(dev), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state_of(dev), pnp::NodeState::Started);
    EXPECT_EQ(pnp::problem_of(dev), 0u);
    EXPECT_EQ(registry::get_dword(kEnum + id, u"ConfigFlags"), 0u);
}

TEST_F(PnpSequence, RebalanceStopsAndStartsTheStack) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    debug_log::clear();
    EXPECT_FALSE(pnp::rebalance_device(node(id)).vetoed());
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"PNP 0x05", "PNP 0x04", "PNP 0x0a", "PNP 0x00"}));
    EXPECT_EQ(pnp::state_of(node(id)), pnp::NodeState::Started);
}

TEST_F(PnpSequence, InvalidatedDeviceStateIsQueriedAndActedOn) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    pnp::DevInst dev = node(id);
    PDEVICE_OBJECT pdo = pnp::node_info(dev)->pdo;
    std::u16string params = kEnum + id + u"\\Device Parameters";

    registry::set_dword(params, u"ReportState", PNP_DEVICE_DONT_DISPLAY_IN_UI);
    debug_log::clear();
    IoInvalidateDeviceState(pdo);
    pnp::wait_quiet();
    EXPECT_EQ(events("HVTF"), std::vector<std::string>{"PNP 0x14"});
    EXPECT_TRUE(pnp::status_of(dev) & pnp::dn::no_show_in_dm);
    EXPECT_EQ(pnp::state_of(dev), pnp::NodeState::Started);

    // A device that reports itself failed is taken down with problem 43.
    registry::set_dword(params, u"ReportState", PNP_DEVICE_FAILED);
    debug_log::clear();
    IoInvalidateDeviceState(pdo);
    pnp::wait_quiet();
    EXPECT_EQ(events("HVTF"), (std::vector<std::string>{"PNP 0x14", "PNP 0x17", "PNP 0x02", "UNLOAD"}));
    EXPECT_EQ(pnp::problem_of(dev), pnp::prob::failed_post_start);
    EXPECT_EQ(pnp::state_of(dev), pnp::NodeState::Removed);
}

TEST_F(PnpSequence, UsageNotificationReachesTheStack) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    debug_log::clear();
    EXPECT_EQ(pnp::usage_notification(node(id), DeviceUsageTypePaging, true), STATUS_SUCCESS);
    EXPECT_EQ(events("HVTF"), std::vector<std::string>{"PNP 0x16"});
    EXPECT_EQ(pnp::usage_notification(pnp::no_node, DeviceUsageTypePaging, true), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpSequence, FailuresGiveTheProblemCodesWindowsGives) {
    registry::set_dword(kServices + u"hvtestfunc", u"FailDriverEntry", 1);
    install_service(u"hvmissing", u"\\SystemRoot\\System32\\drivers\\missing.sys");
    std::u16string entry_fails = add_root_device(u"root\\entryfails", u"hvtestfunc");
    std::u16string no_image = add_root_device(u"root\\noimage", u"hvmissing");
    std::u16string no_service_key = add_root_device(u"root\\nokey", u"hvnosuchservice");
    std::u16string no_driver = add_root_device(u"root\\nodriver", u"");
    pnp::start_tree();

    EXPECT_EQ(pnp::problem_of(node(entry_fails)), pnp::prob::failed_driver_entry);
    EXPECT_EQ(pnp::problem_of(node(no_image)), pnp::prob::driver_failed_load);
    EXPECT_EQ(pnp::problem_of(node(no_service_key)), pnp::prob::driver_service_key_invalid);
    EXPECT_EQ(pnp::problem_of(node(no_driver)), pnp::prob::failed_install);
    for (auto& id : {entry_fails, no_image, no_service_key, no_driver}) {
        EXPECT_TRUE(pnp::status_of(node(id)) & pnp::dn::has_problem);
        EXPECT_FALSE(pnp::status_of(node(id)) & pnp::dn::started);
    }
    // DriverEntry ran (once per attempt) but AddDevice never did, and the image is gone again.
    EXPECT_EQ(count_of(events("HVTF"), "AddDevice"), 0);
    EXPECT_TRUE(ldr::loaded_drivers().empty());

    // Installing the driver later lets the device start.
    registry::set_dword(kServices + u"hvtestfunc", u"FailDriverEntry", 0);
    EXPECT_FALSE(pnp::restart_device(node(entry_fails)).vetoed());
    EXPECT_EQ(pnp::state_of(node(entry_fails)), pnp::NodeState::Started);
}

TEST_F(PnpSequence, FailedStartIsRemovedWithProblem10) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc", {{u"FailStart", 1}});
    pnp::start_tree();
    EXPECT_EQ(pnp::problem_of(node(id)), pnp::prob::failed_start);
    std::vector<std::string> seen = events("HVTF");
    EXPECT_EQ(seen[seen.size() - 3], "PNP 0x00");
    EXPECT_EQ(seen[seen.size() - 2], "PNP 0x02");
    EXPECT_EQ(seen.back(), "UNLOAD");
}

TEST_F(PnpSequence, NewDeviceHandlerInstallsADriverlessDevice) {
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"");
    int calls = 0;
    pnp::set_new_device_handler([&](pnp::DevInst dev) {
        ++calls;
        registry::set_string(pnp::device_key_path(dev), u"Service", u"hvtestfunc");
        return true;
    });
    pnp::start_tree();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(pnp::state_of(node(id)), pnp::NodeState::Started);
    pnp::set_new_device_handler(nullptr);
}

TEST_F(PnpSequence, ShutdownRemovesEveryDeviceAndUnloads) {
    add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    kernel_shutdown();
    std::vector<std::string> seen = events("HVTF");
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], "PNP 0x02");
    EXPECT_EQ(seen.back(), "UNLOAD");
}

TEST_F(PnpSequence, RequestsForUnknownNodesAreRefused) {
    pnp::start_tree();
    EXPECT_EQ(pnp::remove_device(12345).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pnp::remove_device(pnp::root_node).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pnp::enable_device(12345), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pnp::rebalance_device(12345).status, STATUS_NO_SUCH_DEVICE);
    pnp::RootDeviceSpec empty;
    EXPECT_EQ(pnp::create_root_device(empty), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pnp::node_info(12345), std::nullopt);
    EXPECT_EQ(pnp::find_node(u"ROOT\\NOTHING\\0000"), pnp::no_node);
}

using PnpSequenceDeath = PnpMachine;

TEST_F(PnpSequenceDeath, PoolLeftAtUnloadIsABugCheckNamingTheTag) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    registry::set_dword(kServices + u"hvtestfunc", u"LeakAtUnload", 1);
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    EXPECT_DEATH(pnp::remove_device(node(id)), "pool still allocated by HvTestFunc.sys.*tag Leak: 1 blocks, 40 bytes");
    // This process goes on: its driver must not leak at shutdown.
    registry::set_dword(kServices + u"hvtestfunc", u"LeakAtUnload", 0);
}

TEST_F(PnpSequenceDeath, DeviceMemoryLeftMappedAtUnloadIsABugCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    registry::set_dword(kServices + u"hvtestfunc", u"LeakAtUnload", 2);
    std::u16string id = add_root_device(u"root\\hvtestfunc", u"hvtestfunc");
    pnp::start_tree();
    EXPECT_DEATH(pnp::remove_device(node(id)),
                 "HvTestFunc.sys unloads with device memory still mapped at .*16 bytes of physical 0xFEB00000");
    registry::set_dword(kServices + u"hvtestfunc", u"LeakAtUnload", 0);
}

} // namespace
