// A bus driver's children: they are found through bus relations after the bus starts and after
// IoInvalidateDeviceRelations, identified by their IDs and properties, and removed before the
// bus.
#include "pnp_test_support.h"

using namespace hvsim;
using namespace hvsim::pnptest;

namespace {

class PnpBus : public PnpMachine {
protected:
    void SetUp() override {
        PnpMachine::SetUp();
        // The children get the test function driver, as an installer would give them.
        pnp::set_new_device_handler([](pnp::DevInst dev) {
            registry::set_string(pnp::device_key_path(dev), u"Service", u"hvtestfunc");
            return true;
        });
    }
    void TearDown() override {
        pnp::set_new_device_handler(nullptr);
        PnpMachine::TearDown();
    }

    std::vector<pnp::DevInst> children() { return pnp::children_of(node(bus_)); }

    void set_children(ULONG count) {
        io::FileObject* file = nullptr;
        ASSERT_EQ(io::open_file({pnp::node_info(node(bus_))->pdo_name}, &file), STATUS_SUCCESS);
        io::IoResult result = io::device_control(file, IOCTL_HVTEST_SET_CHILDREN, &count, sizeof count, nullptr, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        io::close_file(file);
        pnp::wait_quiet();
    }

    std::u16string bus_;
};

TEST_F(PnpBus, ChildrenAreIdentifiedAndStartedAfterTheBusRelations) {
    bus_ = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 2}});
    pnp::start_tree();

    auto kids = children();
    ASSERT_EQ(kids.size(), 2u);
    auto first = pnp::node_info(kids[0]);
    ASSERT_TRUE(first);
    // Not unique on its own: the instance ID carries the parent's prefix.
    auto prefix = registry::get_string(kEnum + bus_, u"ParentIdPrefix");
    ASSERT_TRUE(prefix);
    EXPECT_EQ(first->instance_id, u"HVTEST\\CHILD\\" + *prefix + u"&0");
    EXPECT_EQ(first->hardware_ids, (std::vector<std::u16string>{u"HVTEST\\CHILD_0", u"HVTEST\\CHILD"}));
    EXPECT_EQ(first->state, pnp::NodeState::Started);
    EXPECT_EQ(first->description, u"Test child");
    EXPECT_EQ(first->location, u"Port #0");
    EXPECT_TRUE(first->capabilities.Removable);
    EXPECT_TRUE(first->status & pnp::dn::removable);
    EXPECT_EQ(registry::get_string(kEnum + first->instance_id, u"DeviceDesc"), u"Test child");
    EXPECT_EQ(registry::get_dword(kEnum + first->instance_id, u"UINumber"), 1u);

    // The child's PDO is asked who it is before its driver comes, in Windows' order.
    std::vector<std::string> seen = all_events();
    const std::vector<std::string> identity = {
        "HVTB 0 PNP 0x13", "HVTB 0 PNP 0x13", "HVTB 0 PNP 0x13", "HVTB 0 PNP 0x13", "HVTB 0 PNP 0x09",
        "HVTB 0 PNP 0x0c", "HVTB 0 PNP 0x0c", "HVTB 0 PNP 0x15", "HVTB 0 PNP 0x14",
    };
    size_t at = index_of(seen, "HVTB bus PNP 0x07");
    ASSERT_NE(at, SIZE_MAX);
    ASSERT_GE(seen.size(), at + 1 + identity.size() + 1);
    EXPECT_EQ(std::vector<std::string>(seen.begin() + at + 1, seen.begin() + at + 1 + identity.size()), identity);
    EXPECT_EQ(seen[at + 1 + identity.size()].rfind("HVTF DriverEntry", 0), 0u);
    EXPECT_LT(index_of(seen, "HVTB 0 PNP 0x00"), index_of(seen, "HVTB 1 PNP 0x13"));
}

TEST_F(PnpBus, ChildrenAreRemovedBeforeTheirBus) {
    bus_ = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 2}});
    pnp::start_tree();
    debug_log::clear();

    EXPECT_FALSE(pnp::remove_device(node(bus_)).vetoed());
    std::vector<std::string> seen = all_events();
    size_t bus_query = index_of(seen, "HVTB bus PNP 0x01");
    size_t bus_remove = index_of(seen, "HVTB bus PNP 0x02");
    ASSERT_NE(bus_remove, SIZE_MAX);
    for (const char* child : {"HVTB 0", "HVTB 1"}) {
        EXPECT_LT(index_of(seen, std::string(child) + " PNP 0x01"), bus_query);
        EXPECT_LT(index_of(seen, std::string(child) + " PNP 0x02"), bus_remove);
    }
    EXPECT_TRUE(children().empty());
    EXPECT_FALSE(ldr::is_loaded(u"hvtestfunc"));
    EXPECT_FALSE(ldr::is_loaded(u"hvtestbus"));
}

TEST_F(PnpBus, InvalidatedRelationsAddAndSurpriseRemoveChildren) {
    bus_ = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 1}});
    pnp::start_tree();
    ASSERT_EQ(children().size(), 1u);

    set_children(3);
    EXPECT_EQ(children().size(), 3u);
    for (auto child : children()) EXPECT_EQ(pnp::state_of(child), pnp::NodeState::Started);

    debug_log::clear();
    set_children(1);
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(pnp::node_info(children()[0])->location, u"Port #0");
    std::vector<std::string> seen = all_events();
    for (const char* child : {"HVTB 1", "HVTB 2"}) {
        size_t surprise = index_of(seen, std::string(child) + " PNP 0x17");
        size_t remove = index_of(seen, std::string(child) + " PNP 0x02");
        EXPECT_NE(surprise, SIZE_MAX);
        EXPECT_LT(surprise, remove);
        EXPECT_NE(remove, SIZE_MAX);
    }
    EXPECT_TRUE(ldr::is_loaded(u"hvtestfunc")); // the first child still uses it

    set_children(0);
    EXPECT_TRUE(children().empty());
    EXPECT_FALSE(ldr::is_loaded(u"hvtestfunc"));
}

TEST_F(PnpBus, ChildPropertiesComeWithExactLengths) {
    bus_ = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 1}});
    pnp::start_tree();
    auto child = pnp::node_info(children().at(0));
    PDEVICE_OBJECT pdo = child->pdo;

    ULONG length = 0;
    WCHAR text[64];
    // "HVTEST\CHILD_0" and "HVTEST\CHILD", each terminated, and the final terminator.
    const ULONG hardware_bytes = (15 + 13 + 1) * sizeof(WCHAR);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 10, text, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, hardware_bytes);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, hardware_bytes);
    EXPECT_EQ(std::u16string(text), u"HVTEST\\CHILD_0");
    EXPECT_EQ(std::u16string(text + 15), u"HVTEST\\CHILD");

    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDeviceDescription, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 11 * sizeof(WCHAR));
    EXPECT_EQ(std::u16string(text), u"Test child");
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"HVTEST");
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof text, text, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), child->pdo_name);
    EXPECT_EQ(length, (child->pdo_name.size() + 1) * sizeof(WCHAR));

    GUID bus_type{};
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusTypeGuid, sizeof bus_type, &bus_type, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof(GUID));
    EXPECT_TRUE(bus_type == GUID_HVTEST_BUS_TYPE);
    ULONG value = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyLegacyBusType, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, (ULONG)PNPBus);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyAddress, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyUINumber, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyRemovalPolicy, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, (ULONG)RemovalPolicyExpectSurpriseRemoval);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyInstallState, sizeof value, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, (ULONG)InstallStateInstalled);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, 3, &value, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4u);

    // What the device does not have, what no one knows, and who may not ask.
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof text, text, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(IoGetDeviceProperty(pdo, (DEVICE_REGISTRY_PROPERTY)99, sizeof text, text, &length),
              STATUS_INVALID_PARAMETER_2);
    auto stack = pnp::device_stack(child->devinst);
    ASSERT_EQ(stack.size(), 2u);
    EXPECT_EQ(IoGetDeviceProperty(stack[1], DevicePropertyHardwareID, sizeof text, text, &length),
              STATUS_INVALID_DEVICE_REQUEST);
    for (auto* device : stack) ObDereferenceObject(device);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof text, text, nullptr), STATUS_INVALID_PARAMETER);

    // Registry values that the installer wrote win over what the bus said.
    registry::set_string(kEnum + child->instance_id, u"FriendlyName", u"Test port (COM7)");
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof text, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"Test port (COM7)");
}

TEST_F(PnpBus, ReenumerationWithoutChangeKeepsTheChildren) {
    bus_ = add_root_device(u"root\\hvtestbus", u"hvtestbus", {{u"Children", 2}});
    pnp::start_tree();
    auto before = children();
    debug_log::clear();
    pnp::reenumerate(node(bus_));
    EXPECT_EQ(children(), before);
    for (auto& line : events("HVTF")) EXPECT_NE(line, "AddDevice");
}

} // namespace
