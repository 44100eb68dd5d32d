// The pcapng block writers under allocation failure, and the release of the
// heap buffers a block owns: exactly once, at the addresses they were
// allocated at, whatever the write returned.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcapng_fixture.h"

namespace {

using namespace quarn::test::pcapng_fixture;

struct header_alloc_case {
    int fail_at;
    const char* message;
};

TEST_F(PcapngTest, HeaderBlockAllocationFailuresWriteNothing) {
    const std::vector<header_alloc_case> cases = {
        {0, "Error allocating space for an option buffer"},
        {1, "Error allocating space for the version identifier"},
        {2, "Error allocating space for an option buffer"},
        {3, "Error allocating space for the dumptime"},
        {4, "Error allocating space for an option buffer"},
        {5, "Error allocating space for an option buffer"},
    };
    set_stack_name(0, "tcp_rack");
    for (const header_alloc_case& c : cases) {
        SCOPED_TRACE(c.fail_at);
        one_record m(build::header_fields{}, build::record_fields{});
        output_writer w = capture_writer(m.hdr());
        cap.calls.clear();
        g_alloc.count = 0;
        g_alloc.fail_mask = uint64_t{1} << c.fail_at;
        int rv;
        std::string err;
        {
            stderr_capture capture;
            rv = pcap_headerblocks(&w, m.hdr(), m.rec(), 1700000200);
            err = capture.text();
        }
        EXPECT_NE(rv, 0);
        EXPECT_TRUE(cap.calls.empty()) << "nothing may be written";
        EXPECT_EQ(err, warn_line(c.message));
        EXPECT_EQ(g_alloc.count, c.fail_at + 1) << "allocation goes on after a failure";
        const bool released = stack_names_lock.try_lock();
        EXPECT_TRUE(released) << "lock not released";
        if (released) stack_names_lock.unlock();
    }
    // With no failure the same start takes six allocations.
    one_record m(build::header_fields{}, build::record_fields{});
    output_writer w = capture_writer(m.hdr());
    g_alloc.count = 0;
    g_alloc.fail_mask = 0;
    EXPECT_EQ(pcap_headerblocks(&w, m.hdr(), m.rec(), 1), 0);
    EXPECT_EQ(g_alloc.count, 6);
}

struct block_alloc_case {
    const char* what;
    bool event;        // event block (else the IPv4 bare SYN packet block)
    uint64_t fail_mask;
    uint32_t blocklen;
    std::vector<uint16_t> option_codes;
    std::vector<const char*> messages;
};

TEST_F(PcapngTest, PacketAndEventBlocksLeaveOutOptionsThatCannotBeAllocated) {
    const char* opt_msg = "Error allocating space for an option buffer";
    const char* flags_msg = "Error allocating space for the EPB flags word";
    const std::vector<block_alloc_case> cases = {
        {"packet, no record option", false, 0b01, 88, {OPT_EPB_FLAGS}, {opt_msg}},
        {"packet, no epb_flags", false, 0b10, 360, {OPT_CUSTOM}, {flags_msg}},
        {"packet, neither option", false, 0b11, 80, {}, {opt_msg, flags_msg}},
        {"event, no record option", true, 0b01, 24, {}, {opt_msg}},
    };
    for (const block_alloc_case& c : cases) {
        SCOPED_TRACE(c.what);
        build::record_fields r;
        if (c.event) r.flags = 0;
        one_record m(header(TLH_AF_INET), r);
        output_writer w = capture_writer(m.hdr());
        g_alloc.count = 0;
        g_alloc.fail_mask = c.fail_mask;
        int rv;
        std::string err;
        {
            stderr_capture capture;
            rv = c.event ? pcap_eventblock(&w, m.rec()) : pcap_packetblock(&w, m.rec());
            err = capture.text();
        }
        EXPECT_EQ(rv, 0);
        std::string want_err;
        for (const char* msg : c.messages) want_err += warn_line(msg);
        EXPECT_EQ(err, want_err);

        const bytes& b = last_call().data;
        expect_block_lengths(b, c.event ? BT_CUSTOM : BT_EPB, c.blocklen);
        std::vector<uint16_t> codes;
        for (const option& o : options_of(b, c.event ? 16 : 32 + 20 + 20)) codes.push_back(o.code);
        EXPECT_EQ(codes, c.option_codes);
        if (c.event) {
            EXPECT_EQ(hex(b), "AD 0B 00 00 18 00 00 00 D9 7E 00 00 01 00 00 00 "
                              "00 00 00 00 18 00 00 00");
        }
    }
}

TEST_F(PcapngTest, OwnedBuffersAreReleasedAfterEveryWriteResult) {
    // ASan reports a release at an advanced address or a second release;
    // TearDown checks that every allocated buffer was released.
    for (int result : {0, -1}) {
        for (bool consume : {false, true}) {
            SCOPED_TRACE(testing::Message() << "result " << result << " consume " << consume);
            cap.result = result;
            cap.consume = consume;
            set_stack_name(4, "bbr_v2");
            build::record_fields data;
            data.stack_id = 4;
            data.payload_len = 1;
            build::record_fields event;
            event.flags = 0;
            one_record m(header(TLH_AF_INET6), data);
            one_record e(header(TLH_AF_INET6), event);
            output_writer w = capture_writer(m.hdr());
            const size_t made = g_alloc.made.size();
            const bool ok = result == 0;
            EXPECT_EQ(pcap_headerblocks(&w, m.hdr(), m.rec(), 7) == 0, ok);
            EXPECT_EQ(pcap_packetblock(&w, m.rec()) == 0, ok);
            EXPECT_EQ(pcap_eventblock(&w, e.rec()) == 0, ok);
            EXPECT_EQ(pcap_gapblock(&w, 2) == 0, ok);
            EXPECT_EQ(g_alloc.made.size() - made, 6u + 2u + 1u);
        }
    }
}

TEST(PcapngListTest, FreeOwnedReleasesOnlyOwnedEntriesBelowCount) {
    int not_heap = 0;
    iov_list l;
    void* a = calloc(1, 12);
    void* b = calloc(1, 8);
    iov_append(l, a, 12, true);
    iov_append(l, &not_heap, sizeof not_heap);
    iov_append(l, b, 8, true);
    EXPECT_EQ(l.count, 3);
    EXPECT_EQ(l.total, 24u);
    EXPECT_EQ(l.owned, 0b101u);
    // A stray bit above the count must be ignored.
    l.alloc[13] = &not_heap;
    l.owned |= uint64_t{1} << 13;
    // As after a resumed write: the entries no longer hold the addresses.
    for (int i = 0; i < l.count; i++) l.iov[i].iov_base = static_cast<char*>(l.iov[i].iov_base) + 4;
    iov_free_owned(l);
    iov_free_owned(l);  // nothing left to release

    iov_list empty;
    empty.alloc[0] = &not_heap;
    empty.owned = 1;
    iov_free_owned(empty);
}

struct custom_opt_case {
    uint32_t subtype;
    uint32_t len;
    const char* bytes;
};

TEST_F(PcapngTest, CustomOptionHeaders) {
    const std::vector<custom_opt_case> cases = {
        {OPT_SUB_LOG_VERSION, 4, "AD 0B 0C 00 D9 7E 00 00 01 00 00 00"},
        {OPT_SUB_RECORD, 268, "AD 0B 14 01 D9 7E 00 00 02 00 00 00"},
        {OPT_SUB_LOG_HEADER, 208, "AD 0B D8 00 D9 7E 00 00 04 00 00 00"},
        {OPT_SUB_STACK_NAME, 65527, "AD 0B FF FF D9 7E 00 00 06 00 00 00"},
    };
    for (const custom_opt_case& c : cases) {
        uint8_t* h = pcap_custom_opt_alloc(c.subtype, c.len);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(hex(h, CUSTOM_OPT_HDR_SIZE), c.bytes);
        free(h);
    }
    g_alloc.fail_mask = ~uint64_t{0};
    EXPECT_EQ(pcap_custom_opt_alloc(OPT_SUB_RECORD, 268), nullptr);
}

TEST(PcapngDeathTest, CustomOptionTooLongStops) {
    EXPECT_DEATH(pcap_custom_opt_alloc(OPT_SUB_STACK_NAME, 65528), "len \\+ 8 <= UINT16_MAX");
    // A length that would wrap in 32 bits stops as well.
    EXPECT_DEATH(pcap_custom_opt_alloc(OPT_SUB_STACK_NAME, 0xFFFFFFF8u), "len \\+ 8 <= UINT16_MAX");
}

}  // namespace
