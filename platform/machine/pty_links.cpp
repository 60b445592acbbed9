// The machine folder's pty/ links: a stable path per COM port whose wire ends in a pty.
#include <hvsim/format.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "machine_internal.h"
#include "serial_tools.h"

namespace hvsim {
namespace {

// A link put in place whole: made beside under a name of its own, then renamed over the old one.
void replace_link(const std::filesystem::path& link, const std::string& target) {
    const std::filesystem::path temporary =
        link.parent_path() / ("." + link.filename().string() + ".new-" + std::to_string(::getpid()));
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), link.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw MachineError("cannot make the link " + link.string() + " to " + target + ": " + why);
    }
}

} // namespace

PtyLinks::PtyLinks(const Machine& machine) {
    const std::filesystem::path folder = machine.root() / "pty";
    std::error_code error;
    for (const auto& port : com_ports(machine)) {
        if (port.pty.empty()) continue;
        std::filesystem::create_directories(folder, error);
        if (error) throw MachineError("cannot create " + folder.string() + ": " + error.message());
        Link link{folder / text::to_utf8(port.name), port.pty, port};
        replace_link(link.path, link.target);
        links_.push_back(std::move(link));
    }
}

PtyLinks::~PtyLinks() {
    // A link is taken away only while it is still ours.
    for (const auto& link : links_) {
        std::error_code error;
        if (std::filesystem::read_symlink(link.path, error) == link.target) std::filesystem::remove(link.path, error);
    }
    std::error_code error;
    if (!links_.empty()) std::filesystem::remove(links_.front().path.parent_path(), error); // when empty
}

} // namespace hvsim
