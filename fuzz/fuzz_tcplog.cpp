// The record decoder from arbitrary bytes. Byte 0 picks the stack name, the
// rest is the record, of any length (the buffer is copied to one of exactly
// that size, so the address sanitizer sees a read past it).
//
// Checked: a record shorter than the decoded bytes is refused and leaves
// nothing behind, a longer one is accepted; the part is the one the rule
// picks; names are empty or short; the flags text fits its buffer.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "inspect/quarn_tcplog.h"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quarn;
    if (size == 0) return 0;
    static constexpr std::string_view STACKS[] = {"rack", "bbr", "default", ""};
    const std::string_view stack = STACKS[data[0] % 4];
    const std::vector<uint8_t> rec(data + 1, data + size);

    tcplog_record out;
    out.cwnd = 1;
    const int rc = tcplog_decode(rec, stack, out);
    if ((rc == 0) != (rec.size() >= TCPLOG_DECODED_BYTES)) {
        fuzz::finding("decode result disagrees with the record's length", data, size);
    }
    if (rc != 0) {
        if (out.cwnd != 0 || out.part != tcplog_stack_part::none) {
            fuzz::finding("a refused record left values behind", data, size);
        }
        return 0;
    }
    if (out.part != tcplog_part_for(stack, out.flags)) {
        fuzz::finding("stack part differs from the rule", data, size);
    }
    if (out.has_payload_len != (rec.size() >= TCPLOG_DECODED_BYTES + 4)) {
        fuzz::finding("payload length read without its bytes", data, size);
    }
    if (tcplog_event_name(out.event_id).size() > 32 || tcplog_state_name(out.state).size() > 16) {
        fuzz::finding("name longer than any in the tables", data, size);
    }
    char text[24];
    const size_t n = tcplog_tcb_flags_text(out.tcb_flags, text);
    if (n >= sizeof text || text[n] != '\0' || strlen(text) != n) {
        fuzz::finding("flags text overran or lost its terminator", data, size);
    }
    return 0;
}
