// Cost of the output path per record, against the bare system call that the
// direct writer cannot avoid: one writev of a block's gather list.
//
//   BM_WritevBaseline    writev of an 8-entry, 428-byte list to /dev/null
//   BM_PacketBlock       pcap_packetblock through the direct writer
//   BM_EventBlock        pcap_eventblock through the direct writer
//   BM_PacketBlockXz     pcap_packetblock through the XZ writer
//   BM_DoBbrRecord       a whole 100-record message: file creation, header
//                        blocks, 100 blocks, close, index line (tmpfs)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "quarn_dump.h"
#include "quarn_idcache.h"
#include "quarn_logbuild.h"
#include "quarn_pcapng.h"
#include "quarn_records.h"
#include "quarn_xz.h"

namespace {

using namespace quarn;

// A message with `n` packet records of a 32-byte TCP header and 1448 bytes
// of payload, in an 8-byte aligned buffer.
struct bench_msg {
    std::vector<uint8_t> bytes;
    uint8_t* p = nullptr;
    explicit bench_msg(int n, uint16_t flags = REC_FLAG_HAS_TH) {
        build::header_fields h;
        std::vector<build::record_fields> recs;
        for (int i = 0; i < n; i++) {
            build::record_fields r;
            r.serial = static_cast<uint32_t>(i);
            r.flags = flags;
            r.payload_len = 1448;
            r.event_id = (i % 2) ? 1 : 2;
            r.th = build::tcp_header(443, 50000, 1000u + 1448u * static_cast<uint32_t>(i), 1, 8, 0x18, 1024);
            recs.push_back(r);
        }
        bytes = build::message(h, recs);
        p = static_cast<uint8_t*>(aligned_alloc(8, (bytes.size() + 7) / 8 * 8));
        memcpy(p, bytes.data(), bytes.size());
    }
    ~bench_msg() { free(p); }
    uint8_t* record(int i) const { return p + LOG_HEADER_SIZE + static_cast<size_t>(i) * LOG_RECORD_SIZE; }
};

output_writer direct_writer(int fd, const bench_msg& m) {
    output_writer w;
    w.fd = fd;
    w.write_op = writev_int;
    w.time_offset = m.p + OFF_TLH_OFFSET;
    w.af = tlh_af(m.p);
    pcap_ipheaders(&w, m.p);
    return w;
}

void BM_WritevBaseline(benchmark::State& state) {
    int fd = open("/dev/null", O_WRONLY);
    static uint8_t storage[428];
    // The same shape as a full-size packet block: 32 + 20 + 32 + 52 + 12 + 268 + 8 + 4 + 4... bytes.
    const size_t lens[8] = {32, 20, 32, 52, 12, 268, 8, 4};
    struct iovec iov[8];
    size_t off = 0;
    for (int i = 0; i < 8; i++) {
        iov[i].iov_base = storage + off;
        iov[i].iov_len = lens[i];
        off += lens[i];
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(writev(fd, iov, 8));
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WritevBaseline);

void BM_PacketBlock(benchmark::State& state) {
    int fd = open("/dev/null", O_WRONLY);
    bench_msg m(1);
    output_writer w = direct_writer(fd, m);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcap_packetblock(&w, m.record(0)));
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketBlock);

void BM_EventBlock(benchmark::State& state) {
    int fd = open("/dev/null", O_WRONLY);
    bench_msg m(1, 0);
    output_writer w = direct_writer(fd, m);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcap_eventblock(&w, m.record(0)));
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventBlock);

void BM_PacketBlockXz(benchmark::State& state) {
    int fd = open("/dev/null", O_WRONLY);
    bench_msg m(1);
    output_writer w = direct_writer(fd, m);
    init_xz(&w);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcap_packetblock(&w, m.record(0)));
    }
    close_xz(&w);
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketBlockXz);

void BM_DoBbrRecord(benchmark::State& state) {
    const bool xz = state.range(0) != 0;
    char tmpl[] = "/dev/shm/quarn_bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no /dev/shm");
        return;
    }
    const int dir_fd = open(tmpl, O_RDONLY | O_DIRECTORY);
    idcache_init(0);
    dump_set_compression(xz ? dump_compression::xz : dump_compression::none);
    const int records = 100;
    bench_msg m(records);
    std::vector<uint8_t> pristine(m.p, m.p + m.bytes.size());
    int64_t files = 0;
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(m.p, pristine.data(), pristine.size());  // tlh_length is rewritten per call
        state.ResumeTiming();
        do_bbr_record(dir_fd, m.p);
        files++;
    }
    dump_set_compression(dump_compression::none);
    state.SetItemsProcessed(state.iterations() * records);
    std::string cleanup = std::string("rm -rf ") + tmpl;
    close(dir_fd);
    if (system(cleanup.c_str()) != 0) state.SkipWithError("cleanup failed");
    state.counters["files"] = static_cast<double>(files);
}
BENCHMARK(BM_DoBbrRecord)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
