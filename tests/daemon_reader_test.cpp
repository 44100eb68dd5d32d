// The reader's reports about the stream, seen from a daemon process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_harness.h"
#include "quarn_logbuild.h"
#include "testlib.h"

namespace quarn::test {
namespace {

std::vector<uint8_t> message_with_reason(const std::string& reason, uint16_t fport) {
    build::header_fields h;
    h.reason = reason;
    h.fport = fport;
    return build::message(h, {build::record_fields{}});
}

TEST(DaemonReasonFilter, ReasonTextOnStderrIsMadePrintable) {
    // The reason is the stream's text: the -r report shows every byte
    // outside 0x20 to 0x7E as '?', so it can neither forge a line nor drive
    // the terminal.
    const struct {
        const char* name;
        std::string reason;
        std::string shown;
    } cases[] = {
        {"plain", "normal", "normal"},
        {"a forged line", "x\nquarn_dumper: FAKE line", "x?quarn_dumper: FAKE line"},
        {"escape sequences", "\x1b[31mred\x1b[0m\r", "?[31mred?[0m?"},
        {"bytes above 0x7E", "caf\xc3\xa9\x7f\xff", "caf????"},
        {"tab and blank", "a\tb c", "a?b c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_setup s;
        std::vector<uint8_t> stream = message_with_reason(c.reason, 50000);
        // Passes the filter; not exactly "error", so its short dump is kept.
        append(stream, message_with_reason("errant", 50001));
        const run_result r = s.run_stream(stream, {"-r", "err"});
        EXPECT_EQ(r.err, "Skipping record of non matching reason" + c.shown + "\n");
        EXPECT_EQ(r.status, 0);
        // The matching message still becomes a dump.
        EXPECT_EQ(list_dir(s.out), (std::vector<std::string>{"conn_443_10.0.0.2_50001.0.pcapng", "records"}));
    }
}

}  // namespace
}  // namespace quarn::test
