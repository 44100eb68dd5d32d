// The direct writer against real partial writes and real errors: a pipe of
// one page, written without blocking while another thread drains it, stops
// every write at a page boundary, so where each write ends inside the list is
// known; interrupted and refused writes, write errors, and the pcapng block
// writers resuming through a small TCP connection.
#include "quarn_writev.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pcapng_fixture.h"
#include "quarn_report.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace {

using namespace quarn;
using quarn::test::stderr_capture;
using quarn::test::wait_until;
using bytes = std::vector<uint8_t>;

constexpr int PIPE_SIZE = 4096;

pid_t thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Write-family system calls a thread has made, failed ones included
// (syscw of the thread's io accounting).
uint64_t write_syscalls(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/io");
    std::string key;
    uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "syscw:") return value;
    }
    ADD_FAILURE() << "no syscw for thread " << tid;
    return 0;
}

// True while a thread sleeps inside writev (its current system call).
bool blocked_in_writev(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string nr;
    in >> nr;
    return nr == std::to_string(SYS_writev);
}

std::string warn_text(int err) {
    return std::string(progname()) + ": Error writing to file: " + strerror(err) + "\n";
}

// A gather list over buffers of the given sizes, each filled with its own
// byte pattern, so a misplaced byte shows in the output.
struct gather {
    std::vector<bytes> bufs;
    std::vector<struct iovec> iov;
    int total = 0;

    explicit gather(const std::vector<size_t>& sizes) {
        for (size_t i = 0; i < sizes.size(); i++) {
            bytes b(sizes[i]);
            for (size_t j = 0; j < b.size(); j++) b[j] = static_cast<uint8_t>(i * 37 + j * 7 + j / 251);
            bufs.push_back(std::move(b));
            total += static_cast<int>(sizes[i]);
        }
        for (bytes& b : bufs) iov.push_back({b.data(), b.size()});
    }
    bytes concat() const {
        bytes all;
        for (const bytes& b : bufs) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    // How far entry i has been advanced, and its remaining length.
    std::pair<size_t, size_t> state(size_t i) const {
        return {static_cast<size_t>(static_cast<const uint8_t*>(iov[i].iov_base) - bufs[i].data()),
                iov[i].iov_len};
    }
};

struct pipe_fds {
    int rd = -1, wr = -1;
    explicit pipe_fds(bool nonblock_write) {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        rd = p[0];
        wr = p[1];
        EXPECT_EQ(fcntl(wr, F_SETPIPE_SZ, PIPE_SIZE), PIPE_SIZE);
        if (nonblock_write) fcntl(wr, F_SETFL, fcntl(wr, F_GETFL) | O_NONBLOCK);
    }
    ~pipe_fds() {
        close_rd();
        close_wr();
    }
    void close_rd() {
        if (rd >= 0) close(rd);
        rd = -1;
    }
    void close_wr() {
        if (wr >= 0) close(wr);
        wr = -1;
    }
};

// Reads fd to its end in small pieces.
bytes read_to_end(int fd, size_t piece) {
    bytes out;
    std::vector<uint8_t> buf(piece);
    for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
}

output_writer writer_for(int fd) {
    output_writer w;
    w.fd = fd;
    w.write_op = writev_int;
    return w;
}

TEST(WritevTest, WholeListInOneSystemCallLeavesTheListAlone) {
    quarn::test::temp_dir dir;
    const std::string path = dir / "f";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    gather g({5, 0, 300, 1});
    const std::vector<struct iovec> before = g.iov;
    output_writer w = writer_for(fd);

    // The sanitizer runtimes probe memory with writes of their own the first
    // times this reading code runs; let them happen before counting.
    for (int i = 0; i < 3; i++) write_syscalls(thread_id());
    const uint64_t calls = write_syscalls(thread_id());
    EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), 0);
    EXPECT_EQ(write_syscalls(thread_id()) - calls, 1u);
    close(fd);

    for (size_t i = 0; i < before.size(); i++) {
        EXPECT_EQ(g.iov[i].iov_base, before[i].iov_base);
        EXPECT_EQ(g.iov[i].iov_len, before[i].iov_len);
    }
    EXPECT_EQ(quarn::test::read_file(path), g.concat());
}

struct partial_case {
    const char* what;
    std::vector<size_t> sizes;
    // Per entry after the call: bytes advanced, length left.
    std::vector<std::pair<size_t, size_t>> after;
};

TEST(WritevTest, PartialWritesResumeWhereTheyStopped) {
    // Each write fills the one-page pipe when the reader has emptied it, so
    // the writes end at multiples of 4096 bytes of the list; the last one
    // (at most a page) goes in whole.
    const std::vector<partial_case> cases = {
        {"inside an entry", {1000, 6000, 3000}, {{0, 1000}, {3096, 2904}, {1192, 1808}}},
        {"at an entry boundary", {4096, 100, 500}, {{0, 4096}, {0, 100}, {0, 500}}},
        {"empty entries at the resume point", {4096, 0, 0, 700}, {{0, 4096}, {0, 0}, {0, 0}, {0, 700}}},
        {"boundary, then inside", {2048, 2048, 5000}, {{0, 2048}, {0, 2048}, {4096, 904}}},
        {"one large entry", {12000}, {{8192, 3808}}},
    };
    for (const partial_case& c : cases) {
        SCOPED_TRACE(c.what);
        pipe_fds p(true);
        gather g(c.sizes);
        bytes got;
        std::thread reader([&] { got = read_to_end(p.rd, 512); });
        output_writer w = writer_for(p.wr);
        stderr_capture err;
        EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), 0);
        p.close_wr();
        reader.join();
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(got, g.concat());
        for (size_t i = 0; i < c.after.size(); i++) EXPECT_EQ(g.state(i), c.after[i]) << "entry " << i;
    }
}

TEST(WritevTest, RefusedWriteIsRetriedUntilItSucceeds) {
    pipe_fds p(true);
    const bytes filler(PIPE_SIZE, 0xEE);
    ASSERT_EQ(write(p.wr, filler.data(), filler.size()), PIPE_SIZE);  // the pipe is full
    gather g({10, 200, 90});
    const pid_t writer = thread_id();
    const uint64_t base = write_syscalls(writer);
    bytes got;
    std::thread reader([&] {
        // Let the writer be refused a few times before making room.
        EXPECT_TRUE(wait_until([&] { return write_syscalls(writer) >= base + 3; }));
        got = read_to_end(p.rd, 700);
    });
    output_writer w = writer_for(p.wr);
    stderr_capture err;
    EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), 0);
    EXPECT_GE(write_syscalls(writer) - base, 3u);
    p.close_wr();
    reader.join();
    EXPECT_EQ(err.text(), "");
    bytes want = filler;
    const bytes rest = g.concat();
    want.insert(want.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, want);
    for (size_t i = 0; i < g.iov.size(); i++) EXPECT_EQ(g.state(i).first, 0u);
}

std::atomic<int> g_interrupts{0};
void count_interrupt(int) { g_interrupts++; }

TEST(WritevTest, InterruptedWriteIsRetried) {
    struct sigaction sa = {}, old = {};
    sa.sa_handler = count_interrupt;  // no SA_RESTART: the blocked write fails with EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_interrupts = 0;

    pipe_fds p(false);  // blocking: the writer sleeps in the full pipe
    const bytes filler(PIPE_SIZE, 0x11);
    ASSERT_EQ(write(p.wr, filler.data(), filler.size()), PIPE_SIZE);
    gather g({100, 300});
    const pthread_t writer_thread = pthread_self();
    const pid_t writer = thread_id();
    bytes got;
    std::thread helper([&] {
        EXPECT_TRUE(wait_until([&] { return blocked_in_writev(writer); }));
        const uint64_t returned = write_syscalls(writer);
        pthread_kill(writer_thread, SIGUSR1);
        // The interrupted call has returned and was issued again.
        EXPECT_TRUE(wait_until([&] {
            return g_interrupts == 1 && write_syscalls(writer) > returned && blocked_in_writev(writer);
        }));
        got = read_to_end(p.rd, 1000);
    });
    output_writer w = writer_for(p.wr);
    stderr_capture err;
    EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), 0);
    p.close_wr();
    helper.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(g_interrupts.load(), 1);
    EXPECT_EQ(err.text(), "");
    bytes want = filler;
    const bytes rest = g.concat();
    want.insert(want.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, want);
}

// Ignores a signal while it lives.
struct ignore_signal {
    int sig;
    struct sigaction old = {};
    explicit ignore_signal(int s) : sig(s) {
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigaction(sig, &sa, &old);
    }
    ~ignore_signal() { sigaction(sig, &old, nullptr); }
};

TEST(WritevTest, WriteErrorsAreReportedOnceAndLeaveTheDescriptorOpen) {
    gather g({1000, 6000, 3000});
    {
        SCOPED_TRACE("/dev/full");
        const int fd = open("/dev/full", O_WRONLY);
        ASSERT_GE(fd, 0);
        output_writer w = writer_for(fd);
        stderr_capture err;
        EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), -1);
        EXPECT_EQ(err.text(), warn_text(ENOSPC));
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the writer closed the descriptor";
        close(fd);
    }
    {
        SCOPED_TRACE("pipe without reader");
        ignore_signal no_sigpipe(SIGPIPE);
        pipe_fds p(false);
        p.close_rd();
        output_writer w = writer_for(p.wr);
        stderr_capture err;
        EXPECT_EQ(writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total), -1);
        EXPECT_EQ(err.text(), warn_text(EPIPE));
        EXPECT_NE(fcntl(p.wr, F_GETFD), -1);
    }
}

TEST(WritevTest, ErrorAfterPartialWriteKeepsTheWrittenPart) {
    // A file size limit makes the first write stop at the limit and the
    // next one fail.
    ignore_signal no_sigxfsz(SIGXFSZ);
    quarn::test::temp_dir dir;
    const std::string path = dir / "f";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    gather g({1000, 6000, 3000});
    output_writer w = writer_for(fd);
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit lim = old;
    lim.rlim_cur = 5000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int rv;
    std::string err_text;
    {
        stderr_capture err;
        rv = writev_int(&w, g.iov.data(), static_cast<int>(g.iov.size()), g.total);
        err_text = err.text();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(err_text, warn_text(EFBIG));
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    close(fd);
    const bytes all = g.concat();
    EXPECT_EQ(quarn::test::read_file(path), bytes(all.begin(), all.begin() + 5000));
    EXPECT_EQ(g.state(1), (std::pair<size_t, size_t>{4000, 2000}));
}

TEST(WritevDeathTest, TotalThatDisagreesWithTheListStops) {
    const int fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(fd, 0);
    gather g({100});
    output_writer w = writer_for(fd);
    EXPECT_DEATH(writev_int(&w, g.iov.data(), 1, 50),
                 "Assertion failed: \\(bytes_left > write_rv\\), function writev_int, file quarn_writev");
    EXPECT_DEATH(writev_int(&w, g.iov.data(), 1, 150),
                 "Assertion failed: \\(iovcnt > 0\\), function writev_int, file quarn_writev");
    close(fd);
}

// The pcapng block writers through the direct writer on a TCP connection
// with small buffers and a slow reader: writes stop inside blocks, and every
// owned buffer is still released once at its allocated address (ASan; the
// fixture checks that each tracked buffer was released).
class WritevBlocksTest : public quarn::test::pcapng_fixture::PcapngTest {};

struct resumed_blocks {
    std::vector<uint8_t> expected;  // the blocks' bytes in order
    int advanced_blocks = 0;        // blocks whose list writev_int advanced
};
resumed_blocks* g_resumed = nullptr;

int snapshot_then_writev(output_writer* w, struct iovec* iov, int count, int total) {
    std::vector<struct iovec> before(iov, iov + count);
    for (const struct iovec& v : before) {
        const auto* p = static_cast<const uint8_t*>(v.iov_base);
        g_resumed->expected.insert(g_resumed->expected.end(), p, p + v.iov_len);
    }
    const int rv = writev_int(w, iov, count, total);
    for (int i = 0; i < count; i++) {
        if (iov[i].iov_base != before[i].iov_base) {
            g_resumed->advanced_blocks++;
            break;
        }
    }
    return rv;
}

TEST_F(WritevBlocksTest, OwnedBuffersAreReleasedAfterResumedWrites) {
    using namespace quarn::test::pcapng_fixture;
    const int lst = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lst, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof addr;
    ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lst, 1), 0);
    ASSERT_EQ(getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &alen), 0);
    const int out = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 1;  // the kernel raises it to its minimum
    setsockopt(out, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int in = accept(lst, nullptr, nullptr);
    ASSERT_GE(in, 0);
    close(lst);
    setsockopt(in, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    fcntl(out, F_SETFL, fcntl(out, F_GETFL) | O_NONBLOCK);

    resumed_blocks resumed;
    g_resumed = &resumed;
    bytes got;
    std::thread reader([&] { got = read_to_end(in, 61); });

    set_stack_name(2, "bbr_v2");
    build::record_fields data;
    data.stack_id = 2;
    data.payload_len = 1448;
    data.th = build::tcp_header(443, 50000, 1, 2, 8, 0x10, 512);
    build::record_fields event;
    event.flags = 0;
    one_record m(header(TLH_AF_INET), data);
    one_record e(header(TLH_AF_INET), event);
    output_writer w;
    w.fd = out;
    w.write_op = snapshot_then_writev;
    w.time_offset = m.hdr() + OFF_TLH_OFFSET;
    pcap_ipheaders(&w, m.hdr());

    int failures = 0;
    failures += pcap_headerblocks(&w, m.hdr(), m.rec(), 1700000200) != 0;
    for (int i = 0; i < 300; i++) {
        failures += pcap_packetblock(&w, m.rec()) != 0;
        if (i % 10 == 0) failures += pcap_eventblock(&w, e.rec()) != 0;
        if (i % 25 == 0) failures += pcap_gapblock(&w, 7) != 0;
    }
    close(out);
    reader.join();
    close(in);
    g_resumed = nullptr;

    EXPECT_EQ(failures, 0);
    EXPECT_GT(resumed.advanced_blocks, 0) << "no write stopped inside a block";
    EXPECT_EQ(got.size(), resumed.expected.size());
    EXPECT_TRUE(got == resumed.expected) << "the connection carried other bytes than the blocks";
    EXPECT_EQ(g_alloc.made.size(), 6u + 300u * 2u + 30u);
}

}  // namespace
