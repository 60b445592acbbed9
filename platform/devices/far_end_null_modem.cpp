#include <hvsim/devices/far_end_null_modem.h>

#include <mutex>
#include <stdexcept>

namespace hvsim::devices {

struct NullModemCable::Core {
    std::mutex mutex;
    std::shared_ptr<LineInbox> inbox[2];
    ModemOutputs outputs[2];
};

class NullModemCable::End final : public FarEnd {
public:
    End(std::shared_ptr<Core> core, int side) : core_(std::move(core)), side_(side) {}

    void connect(std::shared_ptr<LineInbox> port_inbox, Ticks now) override {
        std::lock_guard lock(core_->mutex);
        core_->inbox[side_] = std::move(port_inbox);
        core_->inbox[side_]->push_modem(crossed(core_->outputs[other()]), now);
    }

    void disconnect(Ticks now) override {
        std::lock_guard lock(core_->mutex);
        core_->inbox[side_].reset();
        // The far port sees its inputs fall as the cable end comes loose.
        core_->outputs[side_] = ModemOutputs{};
        if (auto& far = core_->inbox[other()]) far->push_modem(ModemInputs{}, now);
    }

    void transmit(const LineSymbol& symbol) override {
        std::lock_guard lock(core_->mutex);
        if (auto& far = core_->inbox[other()]) far->push_symbol(symbol);
    }

    void outputs_changed(const ModemOutputs& outputs, Ticks time) override {
        std::lock_guard lock(core_->mutex);
        core_->outputs[side_] = outputs;
        if (auto& far = core_->inbox[other()]) far->push_modem(crossed(outputs), time);
    }

private:
    int other() const { return 1 - side_; }

    std::shared_ptr<Core> core_;
    int side_;
};

NullModemCable::NullModemCable() {
    auto core = std::make_shared<Core>();
    ends_[0] = std::make_shared<End>(core, 0);
    ends_[1] = std::make_shared<End>(core, 1);
}

std::shared_ptr<FarEnd> NullModemCable::end(int side) const {
    if (side != 0 && side != 1) throw std::out_of_range("a null-modem cable has ends 0 and 1");
    return ends_[side];
}

} // namespace hvsim::devices
