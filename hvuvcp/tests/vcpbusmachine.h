// The port object on the real bus driver: the bus driver's image on an emulated adapter, the test
// port driver on its port child, and far ends for the adapter's connector.
#pragma once

#include <hvsim/devices/emulated_device.h>
#include <hvsim/devices/far_end.h>
#include <hvsim/devices/far_end_scripted.h>
#include <hvsim/devices/ftdi_chip.h>

#include <mutex>

#include "vcptestmachine.h"

namespace vcptest {

// A far end that sends a stream as fast as the line carries it and honours flow control: it
// pauses while the port's RTS (its CTS) or DTR (its DSR) is low, or from an XOFF the port sends to
// the next XON.
class FlowPeer final : public hvsim::devices::FarEnd {
public:
    enum class Mode { rts_cts, dtr_dsr, xon_xoff };
    FlowPeer(const hvsim::devices::LineFormat& format, Mode mode, Bytes data);

    size_t sent() const;
    // Times it had to stop.
    int pauses() const;

    void connect(std::shared_ptr<hvsim::devices::LineInbox> port_inbox, hvsim::devices::Ticks now) override;
    void disconnect(hvsim::devices::Ticks now) override;
    void transmit(const hvsim::devices::LineSymbol& symbol) override;
    void outputs_changed(const hvsim::devices::ModemOutputs& outputs, hvsim::devices::Ticks time) override;
    hvsim::devices::Ticks next_deadline() const override;
    void advance(hvsim::devices::Ticks now) override;

private:
    bool allowed() const;
    void note_stop(bool was_allowed);

    mutable std::mutex mutex_;
    hvsim::devices::LineFormat format_;
    Mode mode_;
    Bytes data_;
    size_t next_ = 0;
    hvsim::devices::Ticks due_ = 0;
    std::shared_ptr<hvsim::devices::LineInbox> inbox_;
    hvsim::devices::ModemOutputs outputs_;
    bool xoff_ = false;
    int pauses_ = 0;
};

class VcpBusMachine : public VcpMachine {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs an adapter and waits for its drivers; the port on its child.
    Port plug(const std::string& spec = "ftdi");
    hvsim::devices::FtdiChip::PortState chip_state() { return chip().port_state(0); }
    void attach(std::shared_ptr<hvsim::devices::FarEnd> far_end);

    // Vendor requests (request, value) sent since the URB log was cleared.
    static std::vector<std::pair<UCHAR, USHORT>> vendor_requests();

    ULONG usb_port_ = 0; // the adapter plugged, until the test unplugs it
    int installed_ = 0;
};

} // namespace vcptest
