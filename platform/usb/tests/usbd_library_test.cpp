// The USBD library: descriptor parsing and the select-configuration request, on good and broken
// descriptors.
#include <hvsim/devices/usb_descriptors.h>
#include <hvsim/kernel.h>
#include <usbdlib.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace hvsim::devices;

class Usbd : public ::testing::Test {
protected:
    void SetUp() override {
        hvsim::KernelOptions options;
        options.clock = hvsim::ClockMode::Virtual;
        hvsim::kernel_boot(options);
        ConfigurationFields c;
        for (std::uint8_t i = 0; i < 2; ++i) {
            InterfaceFields f;
            f.number = i;
            f.endpoints = {{(std::uint8_t)(0x81 + 2 * i)}, {(std::uint8_t)(0x02 + 2 * i)}};
            c.interfaces.push_back(f);
        }
        InterfaceFields alternate;
        alternate.number = 1;
        alternate.alternate = 1;
        alternate.interface_class = 0x0A;
        alternate.endpoints = {{0x85}};
        c.interfaces.push_back(alternate);
        bytes_ = make_configuration_descriptor(c);
    }
    void TearDown() override { hvsim::kernel_shutdown(); }

    PUSB_CONFIGURATION_DESCRIPTOR config() { return (PUSB_CONFIGURATION_DESCRIPTOR)bytes_.data(); }

    std::vector<std::uint8_t> bytes_;
};

TEST_F(Usbd, ParseFindsInterfacesByEveryCriterion) {
    auto* any = USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1);
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->bInterfaceNumber, 0);
    auto* second = USBD_ParseConfigurationDescriptorEx(config(), config(), 1, -1, -1, -1, -1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bAlternateSetting, 0);
    auto* alternate = USBD_ParseConfigurationDescriptorEx(config(), config(), 1, 1, -1, -1, -1);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bInterfaceClass, 0x0A);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, 0x0A, -1, -1), alternate);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), 2, -1, -1, -1, -1), nullptr);
    // From after the first interface on, the first is not found again.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), (PUCHAR)any + any->bLength, 0, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(config(), 1, 0), second);
    // Interface 1 setting 0: its descriptor and two endpoints.
    EXPECT_EQ(USBD_GetInterfaceLength(second, bytes_.data() + bytes_.size()), 9u + 7 + 7);
}

TEST_F(Usbd, BrokenDescriptorsEndTheSearchInsteadOfRunningAway) {
    // A zero length would loop forever; a length past the end would read beyond the buffer.
    bytes_[9] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1), nullptr);
    bytes_[9] = 200;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(
        USBD_ParseDescriptors(bytes_.data(), (ULONG)bytes_.size(), bytes_.data() + 9, USB_ENDPOINT_DESCRIPTOR_TYPE),
        nullptr);
    // A start outside the configuration finds nothing.
    std::uint8_t elsewhere[16] = {};
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), elsewhere, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(Usbd, ConfigurationRequestHasOneRecordPerListedInterfaceWithItsPipes) {
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config(), config(), 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config(), config(), 1, 1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 24 + 2 * 24 + 24 + 1 * 24);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config());
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, 24 + 2 * 24);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[0].Interface->Pipes[1].MaximumTransferSize, (ULONG)USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ASSERT_EQ((PUCHAR)list[1].Interface, (PUCHAR)list[0].Interface + list[0].Interface->Length);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    ExFreePool(urb);
}

TEST_F(Usbd, AnEmptyListGivesARequestWithoutInterfaces) {
    USBD_INTERFACE_LIST_ENTRY list[1] = {};
    PURB urb = USBD_CreateConfigurationRequestEx(config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(0, 0));
    ExFreePool(urb);
}

TEST_F(Usbd, AnInterfaceFromAnotherBufferIsRefused) {
    std::vector<std::uint8_t> copy = bytes_;
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = (PUSB_INTERFACE_DESCRIPTOR)(copy.data() + 9);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config(), list), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list), nullptr);
}

TEST_F(Usbd, WholeConfigurationRequestTakesSettingZeroOfEachInterface) {
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config(), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, 40 + 2 * (24 + 2 * 24));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    ExFreePool(urb);
}

} // namespace
