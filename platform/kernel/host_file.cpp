// Atomic replacement of the machine folder's files.
#include <hvsim/host_file.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace hvsim {
namespace {

// A name no other writer uses: this process's ID and a counter of its own.
std::filesystem::path temporary_beside(const std::filesystem::path& file) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temporary = file.parent_path();
    temporary /= "." + file.filename().string() + ".new-" + std::to_string(::getpid()) + "-" +
                 std::to_string(counter.fetch_add(1));
    return temporary;
}

std::string errno_text(const char* what, const std::filesystem::path& file) {
    return std::string("cannot ") + what + " " + file.string() + ": " + std::strerror(errno);
}

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool write_with_mode(const std::filesystem::path& file, std::string_view content, mode_t mode, std::string* error) {
    const std::filesystem::path temporary = temporary_beside(file);
    std::string why;
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        why = errno_text("create", temporary);
    } else {
        if (!write_all(fd, content))
            why = errno_text("write", temporary);
        else if (::fsync(fd) != 0)
            why = errno_text("flush", temporary);
        if (::close(fd) != 0 && why.empty()) why = errno_text("close", temporary);
        if (why.empty() && ::rename(temporary.c_str(), file.c_str()) != 0) why = errno_text("replace", file);
        if (!why.empty()) ::unlink(temporary.c_str());
    }
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}

} // namespace

bool write_file_atomically(const std::filesystem::path& file, std::string_view content, std::string* error) {
    return write_with_mode(file, content, 0644, error);
}

bool copy_file_atomically(const std::filesystem::path& from, const std::filesystem::path& to, std::string* error) {
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        if (error) *error = errno_text("read", from);
        return false;
    }
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        if (error) *error = errno_text("read", from);
        return false;
    }
    // Images are loaded from the copy.
    return write_with_mode(to, content, 0755, error);
}

} // namespace hvsim
