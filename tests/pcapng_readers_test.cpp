// Files written by the block writers, read back by real packet readers:
// tshark and tcpdump must find every packet with its addresses, ports,
// direction and timestamp, and Wireshark must find the checksums of whole
// segments good. The custom event and gap blocks sit between the packets
// and must not disturb either reader.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "quarn_logbuild.h"
#include "quarn_logfmt.h"
#include "quarn_pcapng.h"
#include "quarn_stacknames.h"
#include "quarn_writev.h"
#include "testlib.h"

namespace {

using namespace quarn;

constexpr uint8_t SYN = 0x02, ACK = 0x10, FIN = 0x01, PSH = 0x08;
constexpr uint8_t RECEIVED = REC_EVENT_IN, SENT = 2;

// Full path of a program on PATH, or "" when there is none.
std::string find_program(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string p = (dir.empty() ? "." : dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// One record of the test connection.
struct rec {
    bool packet;       // a TCP segment (else a stack event)
    uint8_t event_id;  // RECEIVED or SENT for segments
    uint8_t data_off;
    uint8_t tcp_flags;
    uint32_t payload;
    uint32_t gap_before;  // missing serial numbers before it
};

// What a reader must report of one packet.
struct packet {
    std::string time;  // seconds.microseconds
    std::string src, dst;
    uint16_t sport, dport;
    int direction;  // epb_flags: 1 inbound, 2 outbound
    uint32_t caplen, origlen;
    bool whole() const { return caplen == origlen; }
};

// Wireshark also lists the custom blocks, as frames of our enterprise
// number whose length is the block's data after it.
struct custom_frame {
    size_t before_packet;  // index of the packet that follows it
    uint32_t len;
};

struct capture_file {
    std::string path;
    bool v4;
    std::vector<packet> packets;
    std::vector<custom_frame> custom;
};

constexpr uint16_t FPORT = 50000, LPORT = 443;

// Writes a file of the connection's records through the direct writer and
// returns what readers must see in it.
capture_file write_capture(const std::string& path, uint8_t af, const std::string& faddr,
                           const std::string& laddr, const std::vector<rec>& recs) {
    build::header_fields h;
    h.af = af;
    h.faddr = faddr;
    h.laddr = laddr;
    h.fport = FPORT;
    h.lport = LPORT;
    h.offset_sec = 1700000000;
    h.offset_usec = 250000;
    std::vector<build::record_fields> records;
    capture_file out{path, af == TLH_AF_INET, {}, {}};
    for (size_t i = 0; i < recs.size(); i++) {
        const rec& r = recs[i];
        build::record_fields s;
        s.serial = static_cast<uint32_t>(i);
        s.sec = 100 + static_cast<int64_t>(i);
        s.usec = static_cast<int64_t>((i * 123457) % 1000000);
        s.flags = r.packet ? REC_FLAG_HAS_TH : 0;
        s.event_id = r.packet ? r.event_id : 7;
        s.payload_len = r.payload;
        const bool in = r.event_id == RECEIVED;
        s.th = build::tcp_header(in ? FPORT : LPORT, in ? LPORT : FPORT, 1000 + static_cast<uint32_t>(i),
                                 2000, r.data_off, r.tcp_flags, 8192);
        records.push_back(s);
        // A gap block (28 bytes) and an event block (304 bytes) less their
        // type, lengths and enterprise number.
        if (r.gap_before) out.custom.push_back({out.packets.size(), 12});
        if (!r.packet) out.custom.push_back({out.packets.size(), 288});
        if (!r.packet) continue;
        const int64_t usec = h.offset_usec + s.usec;
        char t[64];
        snprintf(t, sizeof t, "%lld.%06lld", static_cast<long long>(h.offset_sec + s.sec + usec / 1000000),
                 static_cast<long long>(usec % 1000000));
        const uint32_t origlen = 4 + (af == TLH_AF_INET6 ? 40 : 20) + r.data_off * 4 + r.payload;
        out.packets.push_back({t, in ? faddr : laddr, in ? laddr : faddr, in ? FPORT : LPORT,
                               in ? LPORT : FPORT, in ? 1 : 2, std::min(origlen, SNAP_LEN), origlen});
    }
    test::aligned_msg msg(build::message(h, records));
    uint8_t* hdr = msg.data();
    set_tlh_length(hdr, tlh_length(hdr) - LOG_HEADER_SIZE);

    output_writer w;
    w.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(w.fd, 0);
    w.write_op = writev_int;
    w.time_offset = hdr + OFF_TLH_OFFSET;
    pcap_ipheaders(&w, hdr);
    uint8_t* r = hdr + LOG_HEADER_SIZE;
    EXPECT_EQ(pcap_headerblocks(&w, hdr, r, 1700000200), 0);
    for (size_t i = 0; i < recs.size(); i++, r += rec_size(r)) {
        if (recs[i].gap_before) {
            EXPECT_EQ(pcap_gapblock(&w, recs[i].gap_before), 0);
        }
        EXPECT_EQ(recs[i].packet ? pcap_packetblock(&w, r) : pcap_eventblock(&w, r), 0);
    }
    close(w.fd);
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '|')) f.push_back(field);
    if (!line.empty() && line.back() == '|') f.push_back("");
    return f;
}

class PcapngReadersTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("QUARN_SYSCTL_DIR");
        stack_names_lock.lock();
        stack_names[0] = stack_name_entry{"freebsd", 7};
        stack_names_lock.unlock();
        // A connection: handshake, whole small segments, a truncated large
        // one, a stack event and a gap between the packets.
        const std::vector<rec> recs = {
            {true, RECEIVED, 6, SYN, 0, 0},
            {true, SENT, 5, SYN | ACK, 0, 0},
            {true, RECEIVED, 8, ACK | PSH, 1, 0},
            {false, 0, 5, 0, 0, 0},
            {true, SENT, 5, ACK | PSH, 1448, 0},
            {true, RECEIVED, 5, ACK, 0, 5},
            {true, SENT, 15, ACK | FIN, 3, 0},
            {true, RECEIVED, 11, ACK | PSH, 700, 0},
        };
        files.push_back(write_capture(dir / "v4.pcapng", TLH_AF_INET, "192.0.2.7", "198.51.100.9", recs));
        files.push_back(write_capture(dir / "v6.pcapng", TLH_AF_INET6, "2001:db8::7", "2001:db8:ffff::9", recs));
    }
    void TearDown() override {
        stack_names_lock.lock();
        stack_names[0] = stack_name_entry{};
        stack_names_lock.unlock();
    }

    test::temp_dir dir;
    std::vector<capture_file> files;
};

TEST_F(PcapngReadersTest, TsharkReadsEveryPacket) {
    const std::string tshark = find_program("tshark");
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
    for (const capture_file& f : files) {
        SCOPED_TRACE(f.path);
        test::run_options o;
        o.args = {"-r", f.path, "-o", "tcp.check_checksum:TRUE", "-o", "ip.check_checksum:TRUE",
                  "-T", "fields", "-E", "separator=|",
                  "-e", "frame.time_epoch", "-e", "ip.src", "-e", "ipv6.src", "-e", "ip.dst",
                  "-e", "ipv6.dst", "-e", "tcp.srcport", "-e", "tcp.dstport",
                  "-e", "frame.packet_flags_direction", "-e", "tcp.checksum.status",
                  "-e", "ip.checksum.status", "-e", "frame.cap_len", "-e", "frame.len",
                  "-e", "frame.cb_pen"};
        const test::run_result r = test::run(tshark, o);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), f.packets.size() + f.custom.size()) << r.out;
        size_t next_packet = 0, next_custom = 0;
        for (const std::string& line : lines) {
            SCOPED_TRACE(line);
            const std::vector<std::string> fl = fields_of(line);
            ASSERT_EQ(fl.size(), 13u);
            if (next_custom < f.custom.size() && f.custom[next_custom].before_packet == next_packet) {
                EXPECT_EQ(fl[12], std::to_string(PEN));
                EXPECT_EQ(fl[11], std::to_string(f.custom[next_custom].len));
                next_custom++;
                continue;
            }
            ASSERT_LT(next_packet, f.packets.size());
            const packet& p = f.packets[next_packet++];
            EXPECT_EQ(fl[0], p.time + "000");
            EXPECT_EQ(fl[f.v4 ? 1 : 2], p.src);
            EXPECT_EQ(fl[f.v4 ? 3 : 4], p.dst);
            EXPECT_EQ(fl[5], std::to_string(p.sport));
            EXPECT_EQ(fl[6], std::to_string(p.dport));
            EXPECT_EQ(strtoul(fl[7].c_str(), nullptr, 0), static_cast<unsigned long>(p.direction));
            // 1 good; 2 unverified, as for a segment cut at the snap length.
            EXPECT_EQ(fl[8], p.whole() ? "1" : "2");
            if (f.v4) {
                EXPECT_EQ(fl[9], "1");
            }
            EXPECT_EQ(fl[10], std::to_string(p.caplen));
            EXPECT_EQ(fl[11], std::to_string(p.origlen));
            EXPECT_EQ(fl[12], "");
        }
    }
}

TEST_F(PcapngReadersTest, TcpdumpReadsEveryPacket) {
    const std::string tcpdump = find_program("tcpdump");
    if (tcpdump.empty()) GTEST_SKIP() << "tcpdump is not installed";
    for (const capture_file& f : files) {
        SCOPED_TRACE(f.path);
        test::run_options o;
        o.args = {"-r", f.path, "-n", "-tt"};
        const test::run_result r = test::run(tcpdump, o);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), f.packets.size()) << r.out;
        for (size_t i = 0; i < lines.size(); i++) {
            const packet& p = f.packets[i];
            const std::string want = p.time + (f.v4 ? " IP " : " IP6 ") + p.src + "." + std::to_string(p.sport) +
                                     " > " + p.dst + "." + std::to_string(p.dport) + ": ";
            EXPECT_EQ(lines[i].substr(0, want.size()), want);
        }
    }
}

}  // namespace
