// Shared fixture of the pcapng block writer tests: a write_op that records
// each gather list it is given, an allocation seam that tracks and fails
// chosen allocations, readers for the produced blocks, and messages of one
// record.
#ifndef QUARN_PCAPNG_FIXTURE_H
#define QUARN_PCAPNG_FIXTURE_H

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_report.h"
#include "quarn_stacknames.h"
#include "quarn_writev.h"
#include "stderr_capture.h"
#include "testlib.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_ASAN 1
#endif
#endif

#ifdef QUARN_TEST_ASAN
extern "C" int __sanitizer_get_ownership(const volatile void* p);
#endif

namespace quarn::test::pcapng_fixture {

using namespace quarn;
using quarn::test::aligned_msg;
using quarn::test::hex;
using quarn::test::stderr_capture;
using quarn::test::u16_at;
using quarn::test::u32_at;
using quarn::test::unhex;

using bytes = std::vector<uint8_t>;

struct write_call {
    std::vector<size_t> lens;  // entry lengths, in order
    bytes data;                // the concatenated entries
    int total = 0;
    bool names_locked = false;  // stack_names_lock held during the call
};

struct capture_state {
    std::vector<write_call> calls;
    int result = 0;
    // Leave every entry advanced to its end, as the direct writer leaves a
    // list it had to resume, so that a release at the list's addresses
    // instead of the allocated ones shows up under ASan.
    bool consume = false;
};

inline capture_state* g_capture = nullptr;

inline int capture_write(output_writer*, struct iovec* iov, int count, int total) {
    write_call c;
    size_t sum = 0;
    for (int i = 0; i < count; i++) {
        const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
        c.lens.push_back(iov[i].iov_len);
        c.data.insert(c.data.end(), p, p + iov[i].iov_len);
        sum += iov[i].iov_len;
    }
    EXPECT_EQ(sum, static_cast<size_t>(total)) << "total must equal the sum of the entries";
    c.total = total;
    c.names_locked = !stack_names_lock.try_lock();
    if (!c.names_locked) stack_names_lock.unlock();
    if (g_capture->consume) {
        for (int i = 0; i < count; i++) {
            iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + iov[i].iov_len;
            iov[i].iov_len = 0;
        }
    }
    g_capture->calls.push_back(c);
    return g_capture->result;
}

struct alloc_state {
    uint64_t fail_mask = 0;  // bit i: the i-th allocation fails
    int count = 0;
    std::vector<void*> made;
};

inline alloc_state g_alloc;

inline void* tracking_alloc(size_t size) {
    const int i = g_alloc.count++;
    if (i < 64 && (g_alloc.fail_mask >> i) & 1) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = malloc(size);
    g_alloc.made.push_back(p);
    return p;
}

inline std::string warn_line(const std::string& msg) {
    return std::string(progname()) + ": " + msg + ": " + strerror(ENOMEM) + "\n";
}

inline bytes slice(const bytes& b, size_t off, size_t n) {
    if (off > b.size() || n > b.size() - off) {
        ADD_FAILURE() << "slice " << off << "+" << n << " beyond " << b.size();
        return {};
    }
    return bytes(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

struct option {
    uint16_t code;
    bytes value;
};

// The option list of a block from `off` up to its trailing length; it must
// end with exactly one end-of-options option.
inline std::vector<option> options_of(const bytes& block, size_t off) {
    std::vector<option> opts;
    if (block.size() < off + 4) {
        ADD_FAILURE() << "block of " << block.size() << " bytes has no option list at " << off;
        return opts;
    }
    const size_t end = block.size() - 4;
    while (off + 4 <= end) {
        const uint16_t code = u16_at(block, off);
        const uint16_t len = u16_at(block, off + 2);
        if (code == OPT_ENDOFOPT) {
            EXPECT_EQ(len, 0);
            EXPECT_EQ(off + 4, end) << "bytes after end of options";
            return opts;
        }
        opts.push_back({code, slice(block, off + 4, len)});
        off += 4 + (len + 3u) / 4 * 4;
    }
    ADD_FAILURE() << "option list without end of options";
    return opts;
}

// Payload of a custom option after checking its enterprise number and
// subtype.
inline bytes custom_payload(const option& o, uint32_t subtype) {
    EXPECT_EQ(o.code, OPT_CUSTOM);
    EXPECT_EQ(u32_at(o.value, 0), PEN);
    EXPECT_EQ(u32_at(o.value, 4), subtype);
    return o.value.size() >= 8 ? bytes(o.value.begin() + 8, o.value.end()) : bytes{};
}

// Length fields of a block at both ends.
inline void expect_block_lengths(const bytes& block, uint32_t type, uint32_t len) {
    ASSERT_EQ(block.size(), len);
    EXPECT_EQ(u32_at(block, 0), type);
    EXPECT_EQ(u32_at(block, 4), len);
    EXPECT_EQ(u32_at(block, len - 4), len);
}

inline build::header_fields header(uint8_t af) {
    build::header_fields h;
    h.af = af;
    if (af == TLH_AF_INET6) {
        h.faddr = "2001:db8::7";
        h.laddr = "2001:db8:ffff::9";
    } else {
        h.faddr = "192.0.2.7";
        h.laddr = "198.51.100.9";
    }
    return h;
}

// A message with one record; the record is last, so any read past its th
// leaves the buffer (ASan).
struct one_record {
    aligned_msg msg;
    explicit one_record(const build::header_fields& h, const build::record_fields& r)
        : msg(build::message(h, {r})) {}
    uint8_t* hdr() { return msg.data(); }
    uint8_t* rec() { return msg.data() + LOG_HEADER_SIZE; }
};

class PcapngTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_capture = &cap;
        g_alloc = alloc_state{};
        pcap_alloc_hook = tracking_alloc;
        unsetenv("QUARN_SYSCTL_DIR");
        clear_stack_names();
    }

    void TearDown() override {
        pcap_alloc_hook = nullptr;
        g_capture = nullptr;
        unsetenv("QUARN_SYSCTL_DIR");
        clear_stack_names();
        const bool released = stack_names_lock.try_lock();
        EXPECT_TRUE(released) << "stack_names_lock left held";
        if (released) stack_names_lock.unlock();
#ifdef QUARN_TEST_ASAN
        for (void* p : g_alloc.made)
            EXPECT_EQ(__sanitizer_get_ownership(p), 0) << "buffer " << p << " not released";
#endif
    }

    static void clear_stack_names() {
        stack_names_lock.lock();
        for (stack_name_entry& e : stack_names) e = stack_name_entry{};
        stack_names_lock.unlock();
    }

    static void set_stack_name(uint8_t id, const char* name) {
        stack_names_lock.lock();
        stack_names[id] = stack_name_entry{name, static_cast<int32_t>(strlen(name))};
        stack_names_lock.unlock();
    }

    output_writer capture_writer(uint8_t* hdr) {
        output_writer w;
        w.write_op = capture_write;
        w.time_offset = hdr + OFF_TLH_OFFSET;
        pcap_ipheaders(&w, hdr);
        return w;
    }

    // The one block of the last write call.
    const write_call& last_call() {
        static const write_call none;
        if (cap.calls.empty()) {
            ADD_FAILURE() << "no write call";
            return none;
        }
        return cap.calls.back();
    }

    capture_state cap;
};

// A file written through the direct writer.
struct file_sink {
    quarn::test::temp_dir dir;
    std::string path = dir / "out.pcapng";
    output_writer w;
    explicit file_sink(uint8_t* hdr) {
        w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        w.write_op = writev_int;
        w.time_offset = hdr + OFF_TLH_OFFSET;
        pcap_ipheaders(&w, hdr);
    }
    ~file_sink() { close(w.fd); }
    bytes contents() { return quarn::test::read_file(path); }
};

struct hex_row {
    size_t offset;
    const char* text;
};

inline void expect_rows(const bytes& file, const std::vector<hex_row>& rows) {
    for (const hex_row& r : rows) {
        const bytes want = unhex(r.text);
        EXPECT_EQ(hex(slice(file, r.offset, want.size())), hex(want)) << "at file offset " << r.offset;
    }
}

}  // namespace quarn::test::pcapng_fixture

#endif
