// URBs through the stack to the emulated chip: descriptors, vendor requests and their effect on
// the chip, bulk transfers through a loopback plug, pipe and port operations, and the URB log.
#include "usb_test_support.h"

namespace hvsim::usbtest {
namespace {

constexpr UCHAR kIn = 0x81;
constexpr UCHAR kOut = 0x02;

class UsbTransfer : public UsbStack {
protected:
    void plug_configured(const std::string& spec) {
        port_ = plug(spec);
        ASSERT_NE(port_, 0u);
        dev_ = client(port_);
        ClientRequest r = send(dev_, op(ClientConfigure));
        ASSERT_EQ(r.irp_status, STATUS_SUCCESS) << std::hex << r.urb_status;
        ASSERT_EQ(r.pipe_count, 2u);
    }

    ULONG port_ = 0;
    PDEVICE_OBJECT dev_ = nullptr;
};

TEST_F(UsbTransfer, DescriptorsComeFromTheDeviceWithTheLengthAsked) {
    plug_configured("ftdi:pid=0x1015,rev=0x0600");
    ClientRequest r = op(ClientDescriptor);
    r.descriptor_type = USB_DEVICE_DESCRIPTOR_TYPE;
    r.length = 18;
    r = send(dev_, r);
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 18u);
    auto* d = (PUSB_DEVICE_DESCRIPTOR)r.data;
    EXPECT_EQ(d->idProduct, 0x1015);
    EXPECT_EQ(d->bcdDevice, 0x0600);

    // The header alone first, as drivers read it, with the whole length in it.
    r = op(ClientDescriptor);
    r.descriptor_type = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    r.length = 9;
    r = send(dev_, r);
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 9u);
    EXPECT_EQ(((PUSB_CONFIGURATION_DESCRIPTOR)r.data)->wTotalLength, 9 + 9 + 7 + 7);
}

TEST_F(UsbTransfer, VendorRequestsReachTheChipAndCompleteAtDispatchLevel) {
    plug_configured("ftdi");
    // Latency timer: set, then read back through the stack.
    ClientRequest r = send(dev_, vendor(9, 5, 1));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.urb_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(r.completion_irql, DISPATCH_LEVEL);
    EXPECT_EQ(chip().port_state(0).latency_ms, 5);
    r = send(dev_, vendor(10, 0, 1, true, 1));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 1u);
    EXPECT_EQ(r.data[0], 5);

    // Modem control with a mask: DTR on, RTS untouched.
    send(dev_, vendor(1, 0x0101, 1));
    EXPECT_TRUE(chip().port_state(0).dtr);
    EXPECT_FALSE(chip().port_state(0).rts);
    // Modem status: two bytes, the modem byte's low nibble 0x1.
    r = send(dev_, vendor(5, 0, 1, true, 2));
    EXPECT_EQ(r.transferred, 2u);
    EXPECT_EQ(r.data[0] & 0x0F, 0x01);
}

TEST_F(UsbTransfer, AnUnknownVendorRequestStallsAndTheNextOneWorks) {
    plug_configured("ftdi");
    ClientRequest r = send(dev_, vendor(0x77, 0, 1));
    EXPECT_EQ(r.irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.urb_status, USBD_STATUS_STALL_PID);
    // A stall on the default pipe does not halt it.
    r = send(dev_, vendor(9, 16, 1));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
}

TEST_F(UsbTransfer, BulkDataComesBackThroughALoopbackPlugWithStatusBytesInEveryPacket) {
    plug_configured("ftdi:wire=loopback,paced=off");
    const std::string text = "The quick brown fox jumps over the lazy dog";
    ClientRequest r = send(dev_, bulk(kOut, (ULONG)text.size(), text.data()));
    ASSERT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, text.size());
    EXPECT_EQ(read_data(dev_, kIn, text.size()), text);
}

TEST_F(UsbTransfer, LargeBulkWritesArriveWholeAndInOrderUnderHardwareFlowControl) {
    plug_configured("ftdi:wire=loopback,paced=off");
    // RTS/CTS: the chip drops RTS, which the plug feeds back to its CTS, while its receive FIFO
    // is nearly full, so nothing is lost however slowly the host reads.
    ASSERT_EQ(send(dev_, vendor(2, 0x1311, 0x0101)).irp_status, STATUS_SUCCESS);
    ASSERT_EQ(send(dev_, vendor(1, 0x0202, 1)).irp_status, STATUS_SUCCESS);
    std::string sent, received;
    for (int block = 0; block < 16; ++block) {
        std::string chunk(4000, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = (char)('A' + (block * 7 + i) % 26);
        auto writing = start(dev_, bulk(kOut, (ULONG)chunk.size(), chunk.data()));
        sent += chunk;
        for (int reads = 0; reads < 10000 && received.size() < sent.size(); ++reads)
            received += read_data(dev_, kIn, 1, 1);
        ClientRequest w = wait(*writing);
        ASSERT_EQ(w.irp_status, STATUS_SUCCESS);
        EXPECT_EQ(w.transferred, chunk.size());
    }
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

// Unpaced adapters run on threads of their own and paced ones share one: data moves on all of
// them at once, and a port that had one kind serves the other after a replug.
TEST_F(UsbTransfer, PacedAndUnpacedAdaptersMoveDataAtOnce) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const char* specs[] = {"ftdi:wire=loopback,paced=off", "ftdi:wire=loopback,paced=on",
                               "ftdi:wire=loopback,paced=off"};
        std::vector<ULONG> ports;
        std::vector<PDEVICE_OBJECT> devs;
        for (int i = 0; i < 3; ++i) {
            // The second round swaps the kinds, on the ports the first one used.
            ports.push_back(plug(specs[round ? 2 - i : i]));
            ASSERT_NE(ports.back(), 0u);
            devs.push_back(client(ports.back()));
            ASSERT_EQ(send(devs.back(), op(ClientConfigure)).irp_status, STATUS_SUCCESS);
        }
        std::vector<std::string> texts;
        std::vector<std::unique_ptr<Call>> writes;
        for (int i = 0; i < 3; ++i) {
            texts.push_back("adapter " + std::to_string(i) + std::string(40, char('a' + i)));
            writes.push_back(start(devs[i], bulk(kOut, (ULONG)texts[i].size(), texts[i].data())));
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(wait(*writes[i]).irp_status, STATUS_SUCCESS);
            EXPECT_EQ(read_data(devs[i], kIn, texts[i].size()), texts[i]);
        }
        for (ULONG port : ports) ASSERT_TRUE(usb::unplug(port));
        pnp::wait_quiet();
    }
}

TEST_F(UsbTransfer, ResetPortKeepsTheConfigurationAndThePipeHandles) {
    plug_configured("ftdi:wire=loopback,paced=off");
    ClientRequest r = send(dev_, op(ClientResetPort));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    r = send(dev_, bulk(kOut, 3, "abc"));
    EXPECT_EQ(r.irp_status, STATUS_SUCCESS);
    EXPECT_EQ(read_data(dev_, kIn, 3), "abc");
    auto log = usb::urb_log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](auto& e) { return e.function == usb::kResetPortRecord; }));
    r = send(dev_, op(ClientPortStatus));
    EXPECT_EQ(r.transferred, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(UsbTransfer, EveryUrbIsLoggedWithWhatItAsked) {
    plug_configured("ftdi");
    usb::clear_urb_log();
    send(dev_, vendor(3, 0x001A, 1));
    send(dev_, bulk(kIn, 64));
    auto log = usb::urb_log();
    ASSERT_EQ(log.size(), 2u);
    const usb::UrbRecord& v = log[0];
    EXPECT_EQ(v.function, URB_FUNCTION_VENDOR_INTERFACE);
    EXPECT_FALSE(v.in);
    EXPECT_EQ(v.request_type, 0x41);
    EXPECT_EQ(v.request, 3);
    EXPECT_EQ(v.value, 0x001A);
    EXPECT_EQ(v.index, 1);
    EXPECT_EQ(v.port, port_);
    EXPECT_EQ(v.status, USBD_STATUS_SUCCESS);
    EXPECT_GE(v.completed, v.submitted);
    const usb::UrbRecord& b = log[1];
    EXPECT_EQ(b.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_TRUE(b.in);
    EXPECT_EQ(b.endpoint, kIn);
    EXPECT_EQ(b.length, 64u);
    EXPECT_GE(b.transferred, 2u); // at least the status bytes, when the latency timer ran out
    EXPECT_NE(v.text().find("VENDOR_INTERFACE OUT type=0x41 req=0x03 value=0x001A index=0x0001 len=0"),
              std::string::npos)
        << v.text();
}

TEST_F(UsbTransfer, BaudRequestProgramsTheRateTheChipRuns) {
    plug_configured("ftdi");
    // On a single-interface chip wIndex carries the fraction's high bit, not a port index.
    send(dev_, vendor(3, 0x4138, 0)); // 9600
    EXPECT_NEAR(chip().port_state(0).format.baud, 9600.0, 1.0);
    send(dev_, vendor(3, 0x4138, 1)); // the same divisor with 5/8 in place of 1/2
    EXPECT_NEAR(chip().port_state(0).format.baud, 3e6 / 312.625, 1.0);
    send(dev_, vendor(3, 0x001A, 0)); // 115200 within 0.2 %
    EXPECT_NEAR(chip().port_state(0).format.baud, 115384.6, 1.0);
}

} // namespace
} // namespace hvsim::usbtest
