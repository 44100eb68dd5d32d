// Emulation of the kernel's log interfaces on systems without them: both
// sysctls are answered from files in the directory named by
// QUARN_SYSCTL_DIR, so a stored stream converts anywhere. See quarn_kernel.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

#include "quarn_kernel.h"

namespace quarn {

namespace {

constexpr const char* SYSCTL_DIR_ENV = "QUARN_SYSCTL_DIR";
constexpr const char* VERSION_FILE = "net.inet.tcp.bb.log_version";
constexpr const char* FUNCTION_INFO_FILE = "net.inet.tcp.function_info";

// Opens the emulated sysctl file, or returns -1 with errno set.
int open_sysctl(const char* dir, const char* name) {
    std::string path = std::string(dir) + "/" + name;
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Reads up to `cap` bytes; returns the count or -1.
ssize_t read_up_to(int fd, char* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

int kernel_log_version(uint32_t* version) {
    const char* dir = getenv(SYSCTL_DIR_ENV);
    if (!dir) {
        *version = 9;
        return 0;
    }
    int fd = open_sysctl(dir, VERSION_FILE);
    if (fd < 0) return -1;
    char buf[64];
    ssize_t n = read_up_to(fd, buf, sizeof buf);
    int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    // Decimal digits, optionally followed by a newline and nothing else.
    const char* end = buf + n;
    if (n > 0 && end[-1] == '\n') end--;
    uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(buf, end, v);
    if (n == 0 || ec != std::errc() || ptr != end) {
        errno = EINVAL;
        return -1;
    }
    *version = v;
    return 0;
}

int kernel_function_info(void* buf, size_t* len) {
    const char* dir = getenv(SYSCTL_DIR_ENV);
    if (!dir) {
        *len = 0;
        return 0;
    }
    int fd = open_sysctl(dir, FUNCTION_INFO_FILE);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    if (buf == nullptr) {
        close(fd);
        *len = size;
        return 0;
    }
    // Like the sysctl: a buffer too small for the answer fails with ENOMEM
    // after filling what fits.
    const size_t want = size < *len ? size : *len;
    ssize_t n = read_up_to(fd, static_cast<char*>(buf), want);
    int saved = errno;
    close(fd);
    if (n < 0) {
        errno = saved;
        return -1;
    }
    *len = static_cast<size_t>(n);
    if (size > want) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

}  // namespace quarn
