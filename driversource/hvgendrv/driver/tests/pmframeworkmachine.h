// A booted machine (virtual clock) with the framework's test driver installed as a service, root
// devices bound to it, and probes of what the driver and the framework wrote.
#pragma once

#include <hvsim/debug_log.h>
#include <hvsim/io.h>
#include <hvsim/kernel.h>
#include <hvsim/pnp.h>
#include <hvsim/pool.h>
#include <hvsim/power.h>
#include <hvsim/registry.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hvgentest_protocol.h"
#include "pmframeworkboot.h"
#include "support/machine_test.h"

namespace gendrvtest {

inline constexpr char kImage[] = "hvgentest.sys";
inline constexpr char16_t kService[] = u"HvGenTest";

class FrameworkMachine : public hvtest::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A root device bound to the test driver; it starts at once. Returns its node.
    hvsim::pnp::DevInst add_device(const DeviceConfig& config = {});
    // Query-remove and remove of the node; the removal must succeed.
    void remove_device(hvsim::pnp::DevInst node);
    // Removes every device and checks that the driver unloaded with no pool left.
    void expect_driver_unloaded_clean();

    // The top of the node's stack (the framework device object), not referenced.
    PDEVICE_OBJECT top_of(hvsim::pnp::DevInst node);
    std::u16string device_key(hvsim::pnp::DevInst node);

    // Opens "\??\<link>" (the test driver's device).
    LONG open(const std::u16string& link, hvsim::io::FileObject** file);
    HvgtState query_state(hvsim::io::FileObject* file);

    // The test driver's lines without their "HVGT " prefix.
    static std::vector<std::string> events();
    static long count_of(const std::vector<std::string>& lines, const std::string& line);
    // Index of the first line at or after `from` equal to `line`; SIZE_MAX when none.
    static size_t index_of(const std::vector<std::string>& lines, const std::string& line, size_t from = 0);
    // The framework's trace lines from the test driver, in order.
    static std::vector<std::string> trace_lines();
    static bool traced(const std::string& line);

    std::vector<hvsim::pnp::DevInst> devices_;
    int next_instance_ = 0;
};

} // namespace gendrvtest
