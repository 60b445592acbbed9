// Waiting for the platform's device installations.
#include <hvsim/user_hooks.h>

#include "machine_internal.h"

namespace hvsim {

void settle_installations() {
    // An installation can make devices that need one of their own (a bus driver's ports): wait
    // until a round finds the tree as the last one left it.
    std::string last;
    for (int round = 0; round < 20; ++round) {
        user::wait_for_device_installations();
        std::string now = format_device_tree();
        if (round > 0 && now == last) return;
        last = std::move(now);
    }
}

} // namespace hvsim
