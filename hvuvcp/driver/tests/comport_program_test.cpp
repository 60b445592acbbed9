// A serial program image in the machine on a looped-back COM port: the comm routines, overlapped
// requests with completion routines and the flush of kernel32 as such a program uses them.
#include "comport_fixture.h"

namespace comport_test {
namespace {

class ComPortProgram : public ComPortTest {};

TEST_F(ComPortProgram, ASerialProgramCancelsOneReadFlushesAndRunsItsCompletionRoutine) {
    std::string id = plug("ftdi:wire=loopback");
    std::vector<Port> found = ports(id);
    ASSERT_EQ(1u, found.size());
    hvsim::ProgramRun run = machine_->run_program(HV_COMM_PROGRAM, {found[0].name}, true);
    EXPECT_EQ(0u, run.exit_code) << run.output << run.error;
    EXPECT_NE(std::string::npos, run.output.find("all steps passed")) << run.output;
}

} // namespace
} // namespace comport_test
