// What the fuzz targets share: a private output directory that is emptied
// between inputs, reading a file back, and reporting a finding (the input
// ends the process, so libFuzzer keeps it as a crash case).
#ifndef QUARN_FUZZ_SUPPORT_H
#define QUARN_FUZZ_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quarn::fuzz {

// Prints what was found and the bytes it was found in, then aborts.
[[noreturn]] inline void finding(const char* what, const void* bytes, size_t len) {
    fprintf(stderr, "FINDING: %s\n", what);
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < len && i < 2048; i++) {
        fprintf(stderr, (p[i] >= 0x20 && p[i] < 0x7f && p[i] != '\\') ? "%c" : "\\x%02x", p[i]);
    }
    fprintf(stderr, "\n");
    abort();
}

// A fresh directory under $TMPDIR (or /tmp), open as a directory.
inline int make_out_dir() {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarn_fuzz.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    const int fd = open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) abort();
    return fd;
}

// Removes every entry of the directory. The scan reads through a descriptor
// of its own: one made by dup would share the offset that the previous scan
// left at the end, and every later scan would see an empty directory.
inline void clear_dir(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) abort();
    DIR* d = fdopendir(fd);
    if (!d) abort();
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (unlinkat(dir_fd, e->d_name, 0) != 0) abort();
    }
    closedir(d);
}

// Number of entries besides "." and "..".
inline size_t count_entries(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) abort();
    DIR* d = fdopendir(fd);
    if (!d) abort();
    size_t n = 0;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) n++;
    }
    closedir(d);
    return n;
}

// The whole content of a file in the directory; empty when it is missing.
inline std::string read_at(int dir_fd, const char* name) {
    std::string out;
    const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) abort();
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

// True when the text holds a control character (0x01 to 0x1F or 0x7F).
inline bool has_control(const char* s) {
    for (; *s; s++) {
        const auto c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

}  // namespace quarn::fuzz

#endif
