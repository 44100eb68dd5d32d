// A dump whose file cannot be finished is never indexed: the disk fills at
// each write of a message in turn (the Nth call to the writer's operations
// finds the descriptor on /dev/full), and each time the index holds only
// whole lines that name whole files, and the failure is reported once, with
// the dump it lost.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dump_check.h"
#include "quarn_dump.h"
#include "quarn_dumploss.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"
#include "quarn_writev.h"
#include "stderr_capture.h"
#include "testlib.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::temp_dir;

int64_t fixed_dump_time() { return 1700000200; }

time_t cache_now = 1000000;
time_t cache_clock() { return cache_now; }

// Expiry releases every cache entry, so each run probes from 0 again.
void forget_cache() {
    cache_now += 100000000;
    idcache_expire();
    EXPECT_EQ(idcache_size(), 0u);
}

// The fault: from the Nth call to a writer operation (write or close),
// counted over the whole message, every call of that dump's writer writes
// to /dev/full, as on a disk that filled up; the dump's own descriptor
// stays for everything else (its size, its close).
struct full_disk_at {
    int fail_at = 0;
    int calls = 0;
    int devfull = -1;
    bool full = false;  // the current dump's disk is full
    write_fn real_write = nullptr;
    close_fn real_close = nullptr;
};
full_disk_at fault;

// Runs op with the descriptor on /dev/full once the disk is full.
template <typename Op>
int on_disk(output_writer* w, Op op) {
    if (++fault.calls == fault.fail_at) fault.full = true;
    if (!fault.full) return op();
    const int fd = w->fd;
    w->fd = fault.devfull;
    const int rc = op();
    w->fd = fd;
    return rc;
}

int faulty_write(output_writer* w, struct iovec* iov, int count, int total) {
    return on_disk(w, [&] { return fault.real_write(w, iov, count, total); });
}

int faulty_close(output_writer* w) {
    return on_disk(w, [&] { return fault.real_close ? fault.real_close(w) : 0; });
}

void wrap_writer(output_writer* w) {
    fault.full = false;
    fault.real_write = w->write_op;
    fault.real_close = w->close_op;
    w->write_op = faulty_write;
    w->close_op = faulty_close;
}

// Stack A: serials 1, 2, 3, then 5 (a gap block); stack B: 6, 7, 8 and a
// connection-end event. Two dumps; with the header blocks, the gap block
// and each close, the writer is called 13 times.
std::vector<uint8_t> two_dump_message() {
    std::vector<qb::record_fields> recs;
    for (uint32_t serial : {1u, 2u, 3u, 5u, 6u, 7u, 8u, 9u}) {
        qb::record_fields r;
        r.serial = serial;
        r.stack_id = serial < 6 ? test::STACK_A : test::STACK_B;
        if (serial == 9) {
            r.flags = 0;
            r.event_id = REC_EVENT_CONN_END;
        }
        recs.push_back(r);
    }
    qb::header_fields h;
    h.id = "full";
    return qb::message(h, recs);
}
constexpr int WRITER_CALLS = 13;

// Decompresses with the xz tool; false when it rejects the file.
bool unxz(const std::string& path, std::vector<uint8_t>* out) {
    const std::string cmd = "xz -dc < '" + path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->insert(out->end(), buf, buf + n);
    return pclose(p) == 0;
}

size_t count_lines_with(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

class DumpFaultTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::prepare_dump_globals();
    }
    void SetUp() override {
        fault.devfull = open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (fault.devfull < 0) GTEST_SKIP() << "no /dev/full";
        dump_clock = fixed_dump_time;
        idcache_clock = cache_clock;
        idcache_init(0);
        dump_writer_hook = wrap_writer;
    }
    void TearDown() override {
        dump_writer_hook = nullptr;
        dump_set_compression(dump_compression::none);
        if (fault.devfull >= 0) close(fault.devfull);
    }
};

// What one run leaves, for the Nth call failing: index lines, dump files,
// reports of the failed write, and reports of a dump written whole after
// it (in the same message).
struct outcome {
    size_t lines, files, reports, recovered = 0;
};

struct writer_mode {
    const char* name;
    void (*set)();
    const char* suffix;
    // Expected outcome when call n (1 to WRITER_CALLS + 1) fails.
    outcome (*expected)(int n);
};

const writer_mode MODES[] = {
    // Direct: calls 1-7 belong to the first dump (header, P, P, P, gap, P,
    // close), 8-13 to the second (header, P, P, P, E, close). A failed
    // header removes the file; a failed block leaves it, ends the message
    // and gets no line; a close has nothing to flush.
    {"direct", [] { dump_set_compression(dump_compression::none); }, "",
     [](int n) -> outcome {
         if (n == 1) return {0, 0, 1};
         if (n <= 6) return {0, 1, 1};
         if (n == 8) return {1, 1, 1};
         if (n >= 9 && n <= 12) return {1, 2, 1};
         return {2, 2, 0};
     }},
    // XZ: every block waits in the buffer, so any failing call shows at the
    // close of that dump: the file stays empty and is removed, no line; the
    // other dump of the message is whole and indexed, and when it comes
    // second (calls 1-7 are the first dump's) it ends the streak.
    {"xz", [] { dump_set_compression(dump_compression::xz); }, ".xz",
     [](int n) -> outcome {
         if (n <= 7) return {1, 1, 1, 1};
         if (n <= WRITER_CALLS) return {1, 1, 1};
         return {2, 2, 0};
     }},
    // The zstd writer gets its row here once -Z exists: its buffered
    // writes fail at close like those of XZ.
};

TEST_F(DumpFaultTest, FullDiskAtEveryWriteLeavesOnlyWholeIndexedFiles) {
    const std::string report = "Error writing to file: No space left on device";
    for (const writer_mode& mode : MODES) {
        for (int n = 1; n <= WRITER_CALLS + 1; n++) {
            SCOPED_TRACE(std::string(mode.name) + ", call " + std::to_string(n) + " fails");
            temp_dir dir;
            const int dir_fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            ASSERT_GE(dir_fd, 0);
            mode.set();
            records_request_reopen();
            fault.fail_at = n;
            fault.calls = 0;
            fault.full = false;
            // Each run begins with no streak of lost dumps open.
            dump_losses_reset();
            const std::vector<uint8_t> bytes = two_dump_message();
            test::aligned_msg msg(bytes);
            const std::string err =
                test::capture_stderr([&] { do_bbr_record(dir_fd, msg.data()); });
            close(dir_fd);

            const outcome want = mode.expected(n);
            EXPECT_EQ(count_lines_with(err, report), want.reports) << err;
            EXPECT_EQ(count_lines_with(err, ": First dump lost: full_"), want.reports) << err;
            EXPECT_EQ(count_lines_with(err, ": Dumps written again: 1 dumps lost\n"), want.recovered)
                << err;
            EXPECT_EQ(count_lines_with(err, "\n"), 2 * want.reports + want.recovered) << err;
            if (n > WRITER_CALLS) {
                EXPECT_EQ(fault.calls, WRITER_CALLS);
            }

            std::vector<std::string> files;
            for (const std::string& name : test::list_dir(dir.path())) {
                if (name != "records") files.push_back(name);
            }
            EXPECT_EQ(files.size(), want.files);

            const std::string index =
                test::file_exists(dir / "records") ? test::read_text(dir / "records") : "";
            std::vector<test::json_object> lines;
            std::string error;
            ASSERT_TRUE(test::parse_json_lines(index, &lines, &error)) << error;
            EXPECT_EQ(lines.size(), want.lines);
            for (const test::json_object& line : lines) {
                const std::string name = line.at("filename").text;
                SCOPED_TRACE(name);
                EXPECT_EQ(name.size() - name.rfind(".pcapng"), 7 + strlen(mode.suffix));
                std::vector<uint8_t> content;
                if (*mode.suffix) {
                    ASSERT_TRUE(unxz(dir / name, &content));
                } else {
                    content = test::read_file(dir / name);
                }
                EXPECT_EQ(test::block_summary(content).find('!'), std::string::npos);
                EXPECT_EQ(std::to_string(test::record_blocks(content)),
                          line.at("record_count").text);
            }
            // No file is empty: an empty one would have been removed.
            for (const std::string& name : files) {
                struct stat st;
                ASSERT_EQ(stat((dir / name).c_str(), &st), 0);
                EXPECT_GT(st.st_size, 0) << name;
            }
            forget_cache();
        }
    }
}

}  // namespace
}  // namespace quarn
