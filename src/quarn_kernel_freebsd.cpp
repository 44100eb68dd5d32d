// The kernel's log interfaces on FreeBSD: plain sysctls.
#include <sys/types.h>
#include <sys/sysctl.h>

#include "quarn_kernel.h"

namespace quarn {

int kernel_log_version(uint32_t* version) {
    size_t len = sizeof *version;
    return sysctlbyname("net.inet.tcp.bb.log_version", version, &len, nullptr, 0);
}

int kernel_function_info(void* buf, size_t* len) {
    return sysctlbyname("net.inet.tcp.function_info", buf, len, nullptr, 0);
}

}  // namespace quarn
