// The pcapng block writers: byte-exact files, the shape of every block and
// its gather list, the stack-name option and its lock, checksums verified by
// an independent implementation, and TCP records that cannot be packets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pcapng_fixture.h"

namespace {

using namespace quarn::test::pcapng_fixture;

TEST_F(PcapngTest, StartOfFileAndSynPacketAreByteExact) {
    build::record_fields r;  // bare SYN 50000 -> 443, received, payload 0
    r.fill = 0xA5;         // uninterpreted record bytes, to see them copied
    one_record m(build::header_fields{}, r);
    set_tlh_length(m.hdr(), LOG_RECORD_SIZE);  // as the dump code leaves it
    file_sink f(m.hdr());

    ASSERT_EQ(pcap_headerblocks(&f.w, m.hdr(), m.rec(), 1700000200), 0);
    ASSERT_EQ(pcap_packetblock(&f.w, m.rec()), 0);

    const bytes file = f.contents();
    ASSERT_EQ(file.size(), 700u);
    expect_rows(file, {
        {0, "0A 0D 0D 0A"}, {4, "34 01 00 00"}, {8, "4D 3C 2B 1A"}, {12, "01 00 00 00"},
        {16, "FF FF FF FF FF FF FF FF"},
        {24, "AD 0B 0C 00 D9 7E 00 00 01 00 00 00"}, {36, "09 00 00 00"},
        {40, "AD 0B 10 00 D9 7E 00 00 05 00 00 00"}, {52, "C8 F1 53 65 00 00 00 00"},
        {60, "AD 0B D8 00 D9 7E 00 00 04 00 00 00"}, {80, "48 01 00 00 00 00 00 00"},
        {280, "AD 0B 10 00 D9 7E 00 00 06 00 00 00"}, {292, "00"},
        {293, "75 6E 6B 6E 6F 77 6E"}, {300, "00 00 00 00"}, {304, "34 01 00 00"},
        {308, "01 00 00 00"}, {312, "18 00 00 00"}, {316, "00 00 00 00"}, {320, "68 00 00 00"},
        {324, "00 00 00 00"}, {328, "18 00 00 00"},
        {332, "06 00 00 00"}, {336, "70 01 00 00"}, {340, "00 00 00 00"},
        {344, "24 0A 06 00"}, {348, "30 AD 25 1E"}, {352, "2C 00 00 00"}, {356, "2C 00 00 00"},
        {360, "02 00 00 00"},
        {364, "45 00 00 28 00 00 00 00 7F 06 27 CE 0A 00 00 02 0A 00 00 01"},
        {384, "C3 50 01 BB 01 02 03 04 00 00 00 00 50 02 FF FF D2 CE 00 00"},
        {404, "AD 0B 14 01 D9 7E 00 00 02 00 00 00"},
        {684, "02 00 04 00 01 00 00 00"}, {692, "00 00 00 00"}, {696, "70 01 00 00"},
    });
    EXPECT_EQ(hex(slice(file, 72, LOG_HEADER_SIZE)), hex(m.hdr(), LOG_HEADER_SIZE));
    EXPECT_EQ(hex(slice(file, 416, REC_COPY_SIZE)), hex(m.rec(), REC_COPY_SIZE));
    // The checksum is rewritten in the message itself.
    EXPECT_EQ(hex(m.rec() + OFF_REC_TH + OFF_TH_CHECKSUM, 2), "D2 CE");
}

TEST_F(PcapngTest, GapThenEventBlockAreByteExact) {
    build::record_fields r;
    r.flags = REC_FLAG_VERBOSE;  // 400 bytes, no TCP header
    r.event_id = 17;
    r.fill = 0x3C;
    one_record m(build::header_fields{}, r);
    memset(m.rec() + LOG_RECORD_SIZE, 0xEE, LOG_RECORD_VERBOSE_SIZE - LOG_RECORD_SIZE);
    file_sink f(m.hdr());

    ASSERT_EQ(pcap_gapblock(&f.w, 3), 0);
    ASSERT_EQ(pcap_eventblock(&f.w, m.rec()), 0);

    const bytes file = f.contents();
    ASSERT_EQ(file.size(), 332u);
    expect_rows(file, {
        {0, "AD 0B 00 00 1C 00 00 00 D9 7E 00 00 02 00 00 00"},
        {16, "03 00 00 00"},
        {20, "00 00 00 00 1C 00 00 00"},
        {28, "AD 0B 00 00 30 01 00 00 D9 7E 00 00 01 00 00 00"},
        {44, "AD 0B 14 01 D9 7E 00 00 02 00 00 00"},
        {324, "00 00 00 00 30 01 00 00"},
    });
    EXPECT_EQ(hex(slice(file, 56, REC_COPY_SIZE)), hex(m.rec(), REC_COPY_SIZE));
}

TEST_F(PcapngTest, EventBlockIsTheRecordCopyWhateverTheEventIdOrRecordSize) {
    for (uint16_t flags : {uint16_t{0}, REC_FLAG_VERBOSE}) {
        for (uint8_t event_id : {0, 1, 54, 255}) {
            SCOPED_TRACE(testing::Message() << "flags " << flags << " event " << int(event_id));
            build::record_fields r;
            r.flags = flags;
            r.event_id = event_id;
            r.fill = 0x77;
            one_record m(build::header_fields{}, r);
            if (flags & REC_FLAG_VERBOSE)
                memset(m.rec() + LOG_RECORD_SIZE, 0xEE, LOG_RECORD_VERBOSE_SIZE - LOG_RECORD_SIZE);
            output_writer w = capture_writer(m.hdr());
            ASSERT_EQ(pcap_eventblock(&w, m.rec()), 0);
            EXPECT_EQ(last_call().lens, (std::vector<size_t>{16, 12, 268, 8}));
            const std::string want = "AD 0B 00 00 30 01 00 00 D9 7E 00 00 01 00 00 00 "
                                     "AD 0B 14 01 D9 7E 00 00 02 00 00 00 " +
                                     hex(m.rec(), REC_COPY_SIZE) + " 00 00 00 00 30 01 00 00";
            EXPECT_EQ(hex(last_call().data), want);
        }
    }
}

TEST_F(PcapngTest, GapBlockCarriesTheMissingCount) {
    one_record m(build::header_fields{}, build::record_fields{});
    output_writer w = capture_writer(m.hdr());
    for (uint32_t missing : {1u, 3u, 4294967294u, 4294967295u}) {
        ASSERT_EQ(pcap_gapblock(&w, missing), 0);
        const bytes& b = last_call().data;
        expect_block_lengths(b, BT_CUSTOM, 28);
        EXPECT_EQ(u32_at(b, 8), PEN);
        EXPECT_EQ(u32_at(b, 12), CB_SUB_GAP);
        EXPECT_EQ(u32_at(b, 16), missing);
        EXPECT_EQ(u32_at(b, 20), 0u);
        EXPECT_EQ(last_call().lens, (std::vector<size_t>{20, 8}));
    }
}

enum class name_source { none, table, registry_file };

struct stackname_case {
    const char* what;
    name_source source;
    uint8_t id;
    std::string name;      // as set up (table or registry file)
    std::string written;   // name in the option
    uint32_t rv;           // option size
    size_t pad;            // padding entry, 0 for none
};

TEST_F(PcapngTest, StackNameOptionSizes) {
    const std::string name32(32, 'n');
    const std::vector<stackname_case> cases = {
        {"slot empty after reload", name_source::none, 0, "", "unknown", 20, 0},
        {"6 characters", name_source::table, 3, "bbr_v2", "bbr_v2", 20, 1},
        {"8 characters", name_source::table, 200, "tcp_rack", "tcp_rack", 24, 3},
        {"3 characters", name_source::table, 5, "bbr", "bbr", 16, 0},
        {"32 characters", name_source::table, 255, name32, name32, 48, 3},
        {"found by the reload", name_source::registry_file, 9, "freebsd", "freebsd", 20, 0},
    };
    for (const stackname_case& c : cases) {
        SCOPED_TRACE(c.what);
        clear_stack_names();
        quarn::test::temp_dir sysctl_dir;
        if (c.source == name_source::table) set_stack_name(c.id, c.name.c_str());
        if (c.source == name_source::registry_file) {
            bytes reg = build::function_info_entry(1, "other", "other");
            const bytes e = build::function_info_entry(c.id, c.name, c.name);
            reg.insert(reg.end(), e.begin(), e.end());
            quarn::test::write_file(sysctl_dir / "net.inet.tcp.function_info", reg);
            setenv("QUARN_SYSCTL_DIR", sysctl_dir.path().c_str(), 1);
        }
        build::record_fields r;
        r.stack_id = c.id;
        one_record m(build::header_fields{}, r);
        output_writer w = capture_writer(m.hdr());
        cap.calls.clear();

        ASSERT_EQ(pcap_headerblocks(&w, m.hdr(), m.rec(), -5), 0);
        unsetenv("QUARN_SYSCTL_DIR");

        ASSERT_EQ(cap.calls.size(), 1u) << "both blocks in one write";
        const write_call& call = cap.calls[0];
        EXPECT_TRUE(call.names_locked) << "the name must stay locked during the write";
        const uint32_t shb_len = 288 + c.rv;
        EXPECT_EQ(call.total, static_cast<int>(shb_len + 24));
        std::vector<size_t> lens = {24, 12, 4, 12, 8, 12, 208, 12, 1, c.written.size()};
        if (c.pad) lens.push_back(c.pad);
        lens.insert(lens.end(), {8, 16, 8});
        EXPECT_EQ(call.lens, lens);

        const bytes shb = slice(call.data, 0, shb_len);
        expect_block_lengths(shb, BT_SHB, shb_len);
        EXPECT_EQ(u32_at(shb, 8), BYTE_ORDER_MAGIC);
        EXPECT_EQ(hex(slice(shb, 12, 12)), "01 00 00 00 FF FF FF FF FF FF FF FF");
        const std::vector<option> opts = options_of(shb, 24);
        ASSERT_EQ(opts.size(), 4u);
        EXPECT_EQ(hex(custom_payload(opts[0], OPT_SUB_LOG_VERSION)), "09 00 00 00");
        EXPECT_EQ(hex(custom_payload(opts[1], OPT_SUB_DUMP_TIME)), "FB FF FF FF FF FF FF FF");
        EXPECT_EQ(hex(custom_payload(opts[2], OPT_SUB_LOG_HEADER)), hex(m.hdr(), LOG_HEADER_SIZE));
        bytes want(c.written.begin(), c.written.end());
        want.insert(want.begin(), c.id);
        EXPECT_EQ(hex(custom_payload(opts[3], OPT_SUB_STACK_NAME)), hex(want));
        // The padding of the option is zero.
        EXPECT_EQ(hex(slice(shb, 280 + 13 + c.written.size(), c.pad)), hex(bytes(c.pad, 0)));

        EXPECT_EQ(hex(slice(call.data, shb_len, 24)),
                  "01 00 00 00 18 00 00 00 00 00 00 00 68 00 00 00 00 00 00 00 18 00 00 00");
    }
}

struct shape_case {
    const char* what;
    uint8_t af;
    uint8_t data_off;
    uint32_t payload;
    uint8_t event_id;
    uint32_t blocklen, caplen, origlen;
    size_t pad;             // zero-byte entry, 0 for none
    uint16_t ip_len_field;  // IPv4 total length / IPv6 payload length
    uint32_t flags;         // epb_flags value
};

TEST_F(PcapngTest, PacketBlockShapes) {
    const std::vector<shape_case> cases = {
        {"IPv4 bare SYN", 2, 5, 0, 1, 368, 44, 44, 0, 40, 1},
        {"IPv4 32-byte header, 1448 payload", 2, 8, 1448, 1, 428, 104, 1504, 48, 1500, 1},
        {"IPv4 one payload byte", 2, 5, 1, 1, 372, 45, 45, 4, 41, 1},
        {"IPv4 24-byte header, sent, event 54", 2, 6, 7, 54, 380, 55, 55, 8, 51, 2},
        {"IPv4 S + 20 above 65535", 2, 5, 65535, 2, 428, 104, 65579, 60, 39, 2},
        {"IPv4 largest payload that fits", 2, 5, 4294967251u, 1, 428, 104, 4294967295u, 60, 65531, 1},
        {"IPv6 bare segment, sent", 28, 5, 0, 2, 388, 64, 64, 0, 20, 2},
        {"IPv6 60-byte header", 28, 15, 0, 1, 428, 104, 104, 0, 60, 1},
        {"IPv6 60-byte header with payload", 28, 15, 1000, 2, 428, 104, 1104, 0, 1060, 2},
        {"IPv6 S above 65535", 28, 5, 70000, 1, 428, 104, 70064, 40, 4484, 1},
    };
    for (const shape_case& c : cases) {
        SCOPED_TRACE(c.what);
        build::record_fields r;
        r.event_id = c.event_id;
        r.payload_len = c.payload;
        r.th = build::tcp_header(1234, 80, 77, 88, c.data_off, 0x18, 1000);
        r.fill = 0x5A;
        one_record m(header(c.af), r);
        output_writer w = capture_writer(m.hdr());
        ASSERT_EQ(pcap_packetblock(&w, m.rec()), 0);

        const write_call& call = last_call();
        const size_t ip_len = c.af == TLH_AF_INET6 ? 40 : 20;
        const size_t th_len = c.data_off * 4u;
        std::vector<size_t> lens = {32, ip_len, th_len};
        if (c.pad) lens.push_back(c.pad);
        lens.insert(lens.end(), {12, 268, 8, 8});
        EXPECT_EQ(call.lens, lens);

        const bytes& b = call.data;
        expect_block_lengths(b, BT_EPB, c.blocklen);
        EXPECT_EQ(u32_at(b, 8), 0u) << "interface";
        EXPECT_EQ(u32_at(b, 20), c.caplen);
        EXPECT_EQ(u32_at(b, 24), c.origlen);
        EXPECT_EQ(u32_at(b, 28), c.af);

        const bytes ip = slice(b, 32, ip_len);
        const bool inbound = c.event_id == REC_EVENT_IN;
        const uint8_t* faddr = m.hdr() + OFF_TLH_FADDR;
        const uint8_t* laddr = m.hdr() + OFF_TLH_LADDR;
        if (c.af == TLH_AF_INET6) {
            EXPECT_EQ(hex(slice(ip, 0, 8)), hex(bytes{0x60, 0, 0, 0, uint8_t(c.ip_len_field >> 8),
                                                      uint8_t(c.ip_len_field), 6, 127}));
            EXPECT_EQ(hex(slice(ip, 8, 16)), hex(inbound ? faddr : laddr, 16));
            EXPECT_EQ(hex(slice(ip, 24, 16)), hex(inbound ? laddr : faddr, 16));
        } else {
            EXPECT_EQ(hex(slice(ip, 0, 10)), hex(bytes{0x45, 0, uint8_t(c.ip_len_field >> 8),
                                                       uint8_t(c.ip_len_field), 0, 0, 0, 0, 127, 6}));
            EXPECT_EQ(hex(slice(ip, 12, 4)), hex((inbound ? faddr : laddr) + 12, 4));
            EXPECT_EQ(hex(slice(ip, 16, 4)), hex((inbound ? laddr : faddr) + 12, 4));
        }
        EXPECT_EQ(hex(slice(b, 32 + ip_len, th_len)), hex(m.rec() + OFF_REC_TH, th_len));
        EXPECT_EQ(hex(slice(b, 32 + ip_len + th_len, c.pad)), hex(bytes(c.pad, 0)));

        const std::vector<option> opts = options_of(b, 32 + ip_len + th_len + c.pad);
        ASSERT_EQ(opts.size(), 2u);
        EXPECT_EQ(hex(custom_payload(opts[0], OPT_SUB_RECORD)), hex(m.rec(), REC_COPY_SIZE));
        EXPECT_EQ(opts[1].code, OPT_EPB_FLAGS);
        EXPECT_EQ(u32_at(opts[1].value, 0), c.flags);
    }
}

struct time_case {
    int64_t off_sec, off_usec, rec_sec, rec_usec;
    uint64_t usec;
};

TEST_F(PcapngTest, TimestampIsOffsetPlusRecordTime) {
    const std::vector<time_case> cases = {
        {1700000000, 250000, 100, 900000, 1700000101150000ull},
        {1, 999999, 0, 999999, 2999998},
        {0, 0, 0, 0, 0},
        {4294, 967296, 0, 0, 4294967296ull},
        {1700000000, 0, -1, 500000, 1699999999500000ull},
    };
    for (const time_case& c : cases) {
        build::header_fields h;
        h.offset_sec = c.off_sec;
        h.offset_usec = c.off_usec;
        build::record_fields r;
        r.sec = c.rec_sec;
        r.usec = c.rec_usec;
        one_record m(h, r);
        output_writer w = capture_writer(m.hdr());
        ASSERT_EQ(pcap_packetblock(&w, m.rec()), 0);
        const bytes& b = last_call().data;
        EXPECT_EQ(u32_at(b, 12), static_cast<uint32_t>(c.usec >> 32)) << c.usec;
        EXPECT_EQ(u32_at(b, 16), static_cast<uint32_t>(c.usec)) << c.usec;
    }
}

struct ip_case {
    uint8_t af;
    const char* faddr;
    const char* laddr;
    const char* ip_in;
    const char* ip_out;
};

TEST_F(PcapngTest, IpHeaderTemplates) {
    const std::vector<ip_case> cases = {
        {2, "10.0.0.2", "10.0.0.1",
         "45 00 00 00 00 00 00 00 7F 06 00 00 0A 00 00 02 0A 00 00 01",
         "45 00 00 00 00 00 00 00 7F 06 00 00 0A 00 00 01 0A 00 00 02"},
        {28, "2001:db8::2", "fe80::1",
         "60 00 00 00 00 00 06 7F 20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 02 "
         "FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01",
         "60 00 00 00 00 00 06 7F FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01 "
         "20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 02"},
    };
    for (const ip_case& c : cases) {
        build::header_fields h;
        h.af = c.af;
        h.faddr = c.faddr;
        h.laddr = c.laddr;
        one_record m(h, build::record_fields{});
        if (c.af == TLH_AF_INET) {
            // The first 12 bytes of an IPv4 address field have no effect.
            memset(m.hdr() + OFF_TLH_FADDR, 0xF1, IPV4_IN_ADDR_FIELD);
            memset(m.hdr() + OFF_TLH_LADDR, 0xF2, IPV4_IN_ADDR_FIELD);
        }
        output_writer w;
        memset(w.ip_in, 0xCC, sizeof w.ip_in);  // leftovers of a previous file
        memset(w.ip_out, 0xCC, sizeof w.ip_out);
        pcap_ipheaders(&w, m.hdr());
        const size_t n = unhex(c.ip_in).size();
        EXPECT_EQ(hex(w.ip_in, n), c.ip_in);
        EXPECT_EQ(hex(w.ip_out, n), c.ip_out);
        EXPECT_EQ(w.af, c.af);
    }
}

// The 32-bit sum of the big-endian 16-bit words, an odd last byte padded.
uint32_t word_sum(const bytes& b) {
    uint32_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        const uint32_t hi = b[i];
        const uint32_t lo = i + 1 < b.size() ? b[i + 1] : 0;
        sum += (hi << 8) | lo;
    }
    return sum;
}

uint16_t rfc1071(const bytes& b) {
    uint32_t sum = word_sum(b);
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// What a receiver sums for the segment: pseudo-header, the TCP header as in
// the packet with its checksum field zeroed, and the payload (all zero here).
bytes checksummed_segment(uint8_t af, const bytes& ip, bytes th, uint32_t payload_len) {
    bytes seg;
    const uint32_t seg_len = static_cast<uint32_t>(th.size()) + payload_len;
    if (af == TLH_AF_INET6) {
        seg = slice(ip, 8, 32);
        seg.insert(seg.end(), {uint8_t(seg_len >> 24), uint8_t(seg_len >> 16), uint8_t(seg_len >> 8),
                               uint8_t(seg_len), 0, 0, 0, 6});
    } else {
        seg = slice(ip, 12, 8);
        seg.insert(seg.end(), {0, 6, uint8_t(seg_len >> 8), uint8_t(seg_len)});
    }
    th[16] = th[17] = 0;
    seg.insert(seg.end(), th.begin(), th.end());
    seg.resize(seg.size() + payload_len, 0);
    return seg;
}

uint16_t expected_tcp_checksum(uint8_t af, const bytes& ip, const bytes& th, uint32_t payload_len) {
    return rfc1071(checksummed_segment(af, ip, th, payload_len));
}

struct cksum_case {
    uint8_t af;
    uint8_t data_off;
    uint32_t payload;
    uint8_t event_id;
    // Fixed rows: the TCP header bytes (hex; random when null), which
    // checksum the row pins ('t' the TCP one, 'i' the IPv4 header's), the
    // 32-bit sum behind it and the checksum it must give.
    const char* th = nullptr;
    char fixed = 0;
    uint32_t sum = 0;
    uint16_t cksum = 0;
};

TEST_F(PcapngTest, ChecksumsMatchAnIndependentComputation) {
    const std::vector<cksum_case> cases = {
        {2, 5, 0, 1},  {2, 5, 1, 2},     {2, 6, 3, 1},      {2, 8, 1447, 2},
        {2, 15, 0, 1}, {2, 15, 999, 2},  {2, 5, 65495, 1},  {2, 10, 65535, 2},
        {28, 5, 0, 1}, {28, 5, 1, 2},    {28, 7, 333, 1},   {28, 15, 0, 2},
        {28, 15, 65475, 1}, {28, 9, 1441, 2},
        // Sums whose fold carries twice: 0x9FFF7 folds to 0x10000 and only
        // then to 0x0001, so the checksum is 0xFFFE; a fold that adds the
        // carry back once ends at 0xFFFF. The TCP row is 192.0.2.7 to
        // 198.51.100.9 with no payload; in the IPv4 row the payload makes the
        // total length 0x4FB5 and the header's sum 0x2FFFE.
        {2, 5, 0, 1, "FF FF FF FF FF FF FF FF FF FF FF FF 50 10 FF FF 00 00 C3 91", 't', 0x9FFF7,
         0xFFFE},
        {2, 5, 20365, 1, nullptr, 'i', 0x2FFFE, 0xFFFE},
    };
    std::mt19937 rng(20240517);
    auto random_bytes = [&](size_t n) {
        bytes b(n);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    for (const cksum_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "af " << int(c.af) << " D " << c.data_off * 4
                                        << " payload " << c.payload);
        build::header_fields h = header(c.af);
        bytes th = c.th ? unhex(c.th) : random_bytes(TH_SIZE);
        th.resize(TH_SIZE, 0);
        uint16_t written[2];
        // The same first D bytes with a different stale checksum and
        // different bytes beyond D must give the same checksum.
        for (int variant = 0; variant < 2; variant++) {
            bytes t = th;
            t[12] = static_cast<uint8_t>((c.data_off << 4) | (t[12] & 0x0F));
            t[16] = static_cast<uint8_t>(variant ? 0xFF : 0x00);
            t[17] = static_cast<uint8_t>(variant ? 0x5A : 0x00);
            for (size_t i = c.data_off * 4u; i < TH_SIZE; i++) t[i] = static_cast<uint8_t>(rng());
            build::record_fields r;
            r.th = t;
            r.payload_len = c.payload;
            r.event_id = c.event_id;
            one_record m(h, r);
            output_writer w = capture_writer(m.hdr());
            ASSERT_EQ(pcap_packetblock(&w, m.rec()), 0);

            const bytes& b = last_call().data;
            const size_t ip_len = c.af == TLH_AF_INET6 ? 40 : 20;
            const bytes ip = slice(b, 32, ip_len);
            const bytes tcp = slice(b, 32 + ip_len, c.data_off * 4u);
            ASSERT_EQ(tcp.size(), c.data_off * 4u);
            written[variant] = load_be16(&tcp[16]);
            EXPECT_EQ(written[variant], expected_tcp_checksum(c.af, ip, tcp, c.payload));
            bytes zeroed = ip;
            if (c.af == TLH_AF_INET) {
                zeroed[10] = zeroed[11] = 0;
                EXPECT_EQ(load_be16(&ip[10]), rfc1071(zeroed)) << "IPv4 header checksum";
            }
            if (c.fixed == 't') {
                EXPECT_EQ(word_sum(checksummed_segment(c.af, ip, tcp, c.payload)), c.sum);
                EXPECT_EQ(written[variant], c.cksum);
            }
            if (c.fixed == 'i') {
                EXPECT_EQ(word_sum(zeroed), c.sum);
                EXPECT_EQ(load_be16(&ip[10]), c.cksum);
            }
        }
        EXPECT_EQ(written[0], written[1]);
    }
}

TEST(PcapngDeathTest, OddTcpHeaderAddressStops) {
    alignas(8) uint8_t buf[64] = {};
    output_writer w;
    w.af = TLH_AF_INET;
    EXPECT_DEATH(add_tcp_cksum(&w, buf + 1, 20, 20), "\\(\\(uintptr_t\\)th\\) % 2 == 0");
}

struct malformed_case {
    const char* what;
    uint8_t af;
    uint16_t flags;
    uint8_t data_off;
    uint32_t payload;
    bool packet;
};

TEST_F(PcapngTest, UnusableTcpRecordsBecomeEventBlocks) {
    const std::vector<malformed_case> cases = {
        {"data offset 0", 2, REC_FLAG_HAS_TH, 0, 0, false},
        {"data offset 4", 2, REC_FLAG_HAS_TH, 4, 10, false},
        {"IPv6 data offset 1, verbose", 28, REC_FLAG_HAS_TH | REC_FLAG_VERBOSE, 1, 0, false},
        {"IPv4 origlen exactly 2^32 - 1", 2, REC_FLAG_HAS_TH, 5, 4294967251u, true},
        {"IPv4 origlen wraps", 2, REC_FLAG_HAS_TH, 5, 4294967252u, false},
        {"IPv6 origlen exactly 2^32 - 1", 28, REC_FLAG_HAS_TH, 15, 4294967191u, true},
        {"IPv6 origlen wraps", 28, REC_FLAG_HAS_TH, 15, 4294967192u, false},
        {"S wraps", 2, REC_FLAG_HAS_TH, 15, 0xFFFFFFFFu, false},
        {"no TCP header flag", 2, 0, 5, 0, false},
    };
    for (const malformed_case& c : cases) {
        SCOPED_TRACE(c.what);
        build::record_fields r;
        r.flags = c.flags;
        r.payload_len = c.payload;
        r.th = build::tcp_header(1, 2, 3, 4, c.data_off, 0x10, 5);
        r.th[16] = 0xAB;
        r.th[17] = 0xCD;
        one_record m(header(c.af), r);
        EXPECT_EQ(packet_record_valid(m.rec(), c.af), c.packet);
        const bytes before(m.rec(), m.rec() + rec_size(m.rec()));
        output_writer w = capture_writer(m.hdr());
        ASSERT_EQ(pcap_packetblock(&w, m.rec()), 0);

        const bytes& b = last_call().data;
        if (c.packet) {
            expect_block_lengths(b, BT_EPB, 428);
            continue;
        }
        expect_block_lengths(b, BT_CUSTOM, 304);
        EXPECT_EQ(u32_at(b, 12), CB_SUB_EVENT);
        const std::vector<option> opts = options_of(b, 16);
        ASSERT_EQ(opts.size(), 1u);
        EXPECT_EQ(hex(custom_payload(opts[0], OPT_SUB_RECORD)), hex(m.rec(), REC_COPY_SIZE));
        EXPECT_EQ(hex(bytes(m.rec(), m.rec() + before.size())), hex(before)) << "record changed";
    }
}

}  // namespace
