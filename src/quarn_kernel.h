// The kernel's TCP black-box log interfaces: the log format version and the
// stack registry. On FreeBSD these are sysctls; elsewhere an emulation reads
// them from files in the directory named by QUARN_SYSCTL_DIR:
//   net.inet.tcp.bb.log_version  decimal text, e.g. "9\n"
//   net.inet.tcp.function_info   raw array of 72-byte registry entries
// A missing file fails with ENOENT; a version file without a decimal number
// fails with EINVAL. With QUARN_SYSCTL_DIR unset the version is 9 and the
// registry is empty. Nothing else in the daemon knows which system it is on.
#ifndef QUARN_KERNEL_H
#define QUARN_KERNEL_H

#include <cstddef>
#include <cstdint>

namespace quarn {

// Stack registry entry layout.
inline constexpr size_t FUNCTION_INFO_ENTRY_SIZE = 72;
inline constexpr size_t FUNCTION_INFO_OFF_ID = 4;
inline constexpr size_t FUNCTION_INFO_OFF_NAME = 5;
inline constexpr size_t FUNCTION_INFO_OFF_ALIAS = 37;
inline constexpr size_t FUNCTION_INFO_NAME_SIZE = 32;

// Reads "net.inet.tcp.bb.log_version". 0 on success, -1 with errno set.
int kernel_log_version(uint32_t* version);

// Reads "net.inet.tcp.function_info" with sysctl semantics: with buf null,
// stores the size needed in *len (may fail with ENOMEM, which callers treat
// as an answer); with a buffer of *len bytes, fills it and stores the size
// returned. 0 on success, -1 with errno set.
int kernel_function_info(void* buf, size_t* len);

}  // namespace quarn

#endif
