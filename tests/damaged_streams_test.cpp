// Damaged streams through the whole daemon: a few hundred streams, from the
// synthesizer's damage modes and from byte mutations of good streams (bit
// flips, truncations, huge and tiny lengths, wrong types and address
// families, messages that end inside a record), each fed to the real
// daemon as built for this test run (sanitizers included). Each run must:
//
//  - end by itself within a bounded time, not by a signal or a sanitizer;
//  - exit 0 or 1 (1 where the stream does not end on a message boundary);
//  - write nothing outside its output directory, and only regular files
//    there;
//  - leave an index whose every line is one JSON object in valid UTF-8,
//    naming a whole dump in the directory with the record count it holds.
//
// Every indexed dump of every run is then read by tshark in one go (the
// files concatenated as sections of one capture), which must show each of
// their blocks as a frame.
#include <gtest/gtest.h>
#include <lzma.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "dump_check.h"
#include "json_check.h"
#include "quarn_logfmt.h"
#include "testlib.h"

namespace {

using namespace quarn;
using namespace quarn::test;

// Exit statuses a run may have: what the stream's framing allows.
enum class ending { any, ok, error };

struct damage_case {
    std::string name;
    std::vector<uint8_t> stream;
    std::vector<std::string> extra;  // daemon options besides -u/-D/-f
    ending expect = ending::any;
};

// The synthesizer's generator, so that the mutations are the same on every run.
using quarn::build::prng;

std::vector<uint8_t> synth(const std::vector<std::string>& args, const std::string& out_path) {
    run_options o;
    o.args = args;
    o.args.push_back("-o");
    o.args.push_back(out_path);
    const run_result r = run(synth_path(), o);
    if (r.status != 0) throw std::runtime_error("quarn_synth failed: " + r.err);
    return read_file(out_path);
}

// Start offsets of the messages of a well-framed stream.
std::vector<size_t> message_starts(const std::vector<uint8_t>& s) {
    std::vector<size_t> starts;
    for (size_t pos = 0; pos + COMMON_HEADER_SIZE <= s.size();) {
        starts.push_back(pos);
        pos += static_cast<size_t>(load<uint64_t>(s.data() + pos + OFF_TLH_LENGTH));
    }
    return starts;
}

// Options that vary over the cases: direct, -J, and a reason filter.
std::vector<std::string> mode_for(size_t i) {
    switch (i % 6) {
    case 1: return {"-J"};
    case 4: return {"-r", "norm"};
    default: return {};
    }
}

// Base streams: both families, plain and verbose records, odd ids, stack
// changes, gaps and connection ends, several reasons.
std::vector<uint8_t> base_stream(const temp_dir& tmp, int seed) {
    return synth({"-s", std::to_string(seed), "-n", "14", "-c", "5", "-r", "1-14", "-6", "50",
                  "-v", "30", "-S", "30", "-e", "20", "-R", "normal:5,error:1,rebuffer:1"},
                 tmp / ("base" + std::to_string(seed)));
}

std::vector<damage_case> make_cases(const temp_dir& tmp) {
    std::vector<damage_case> cases;
    auto add = [&](std::string name, std::vector<uint8_t> stream, ending expect) {
        damage_case c{std::move(name), std::move(stream), mode_for(cases.size()), expect};
        cases.push_back(std::move(c));
    };

    // The synthesizer's damaged streams. The three that end the stream
    // inside a message or with an impossible length end with status 1.
    const struct {
        const char* modes;
        ending expect;
    } synth_damage[] = {
        {"short-header", ending::error},
        {"short-body", ending::error},
        {"tiny-length", ending::error},
        {"unknown-type", ending::any},
        {"unknown-family", ending::any},
        {"short-length", ending::any},
        {"short-tail", ending::any},
        {"unknown-type,unknown-family,short-length,short-tail", ending::any},
        {"unknown-family,short-tail,short-body", ending::error},
    };
    for (const auto& d : synth_damage) {
        for (int seed = 1; seed <= 7; seed++) {
            add(std::string("synth -D ") + d.modes + " -s " + std::to_string(seed),
                synth({"-s", std::to_string(seed), "-n", "12", "-r", "1-12", "-v", "30", "-6", "40",
                       "-D", d.modes},
                      tmp / "synth"),
                d.expect);
        }
    }

    for (int seed : {11, 12, 13}) {
        const std::vector<uint8_t> base = base_stream(tmp, seed);
        const std::vector<size_t> starts = message_starts(base);
        prng rng{static_cast<uint64_t>(seed) * 7919};
        const std::string tag = " (base " + std::to_string(seed) + ")";
        auto pick_msg = [&] { return starts[rng.below(starts.size())]; };

        // Bit flips anywhere: 1, 3 or 12 of them.
        for (int i = 0; i < 30; i++) {
            std::vector<uint8_t> s = base;
            const int flips = i % 3 == 0 ? 1 : i % 3 == 1 ? 3 : 12;
            for (int f = 0; f < flips; f++) s[rng.below(s.size())] ^= uint8_t(1u << rng.below(8));
            add("bit flips x" + std::to_string(flips) + " #" + std::to_string(i) + tag, s,
                ending::any);
        }
        // Truncation at a point inside a message: the input ends mid-message.
        for (int i = 0; i < 12; i++) {
            const size_t at = pick_msg() + 1 + rng.below(LOG_HEADER_SIZE + LOG_RECORD_SIZE - 1);
            if (at >= base.size()) continue;
            add("cut at byte " + std::to_string(at) + tag,
                std::vector<uint8_t>(base.begin(), base.begin() + static_cast<long>(at)),
                ending::error);
        }
        // Truncation exactly after a message: a shorter, sound stream.
        add("cut after a message" + tag,
            std::vector<uint8_t>(base.begin(), base.begin() + static_cast<long>(starts[starts.size() / 2])),
            ending::ok);
        // Huge lengths: unallocatable, unreasonable, or just past the input.
        for (uint64_t huge : {~uint64_t{0}, uint64_t{1} << 63, uint64_t{1} << 40,
                              (uint64_t{1} << 32) + LOG_HEADER_SIZE, (uint64_t{256} << 20) + 1,
                              uint64_t{256} << 20}) {
            std::vector<uint8_t> s = base;
            store<uint64_t>(s.data() + pick_msg() + OFF_TLH_LENGTH, huge);
            add("length " + std::to_string(huge) + tag, s, ending::error);
        }
        for (uint64_t extra : {1, 8, 4096}) {
            std::vector<uint8_t> s = base;
            const size_t at = starts.back();  // the last message: nothing follows to frame
            store<uint64_t>(s.data() + at + OFF_TLH_LENGTH,
                            load<uint64_t>(s.data() + at + OFF_TLH_LENGTH) + extra);
            add("last length +" + std::to_string(extra) + tag, s, ending::error);
        }
        // Tiny lengths: below the common header (the stream cannot go on),
        // below the log header, below one record.
        for (uint64_t tiny : {0, 1, 15}) {
            std::vector<uint8_t> s = base;
            store<uint64_t>(s.data() + pick_msg() + OFF_TLH_LENGTH, tiny);
            add("length " + std::to_string(tiny) + tag, s, ending::error);
        }
        for (uint64_t tiny : {16, 17, 207, 208, 209, 535}) {
            std::vector<uint8_t> s = base;
            store<uint64_t>(s.data() + pick_msg() + OFF_TLH_LENGTH, tiny);
            add("length " + std::to_string(tiny) + tag, s, ending::any);
        }
        // Wrong types and families leave the framing intact.
        for (uint32_t type : {0u, 2u, 3u, 0xFFFFFFFFu}) {
            std::vector<uint8_t> s = base;
            store<uint32_t>(s.data() + pick_msg() + OFF_TLH_TYPE, type);
            add("type " + std::to_string(type) + tag, s, ending::ok);
        }
        for (uint8_t af : {0, 1, 3, 10, 27, 29, 255}) {
            std::vector<uint8_t> s = base;
            s[pick_msg() + OFF_TLH_AF] = af;
            add("family " + std::to_string(af) + tag, s, ending::ok);
        }
        // A message that ends inside its last record: its length and its
        // bytes are cut by `cut`, so the stream stays framed.
        for (size_t cut : {1, 8, 100, 300, 327, 399}) {
            std::vector<uint8_t> s = base;
            const size_t idx = rng.below(starts.size());
            const size_t at = starts[idx];
            const uint64_t len = load<uint64_t>(s.data() + at + OFF_TLH_LENGTH);
            if (len < LOG_HEADER_SIZE + cut) continue;
            store<uint64_t>(s.data() + at + OFF_TLH_LENGTH, len - cut);
            s.erase(s.begin() + static_cast<long>(at + len - cut), s.begin() + static_cast<long>(at + len));
            add("message " + std::to_string(idx) + " cut by " + std::to_string(cut) + tag, s,
                ending::ok);
        }
        // Every record length field of one message set to odd values: the
        // records of a message are framed by the message alone.
        {
            std::vector<uint8_t> s = base;
            const size_t at = pick_msg();
            const uint64_t len = load<uint64_t>(s.data() + at + OFF_TLH_LENGTH);
            for (size_t p = at + LOG_HEADER_SIZE; p + 8 <= at + len; p += 8) {
                store<uint64_t>(s.data() + p, rng.next());
            }
            add("random record bytes" + tag, s, ending::ok);
        }
    }
    return cases;
}

// The dump's bytes as a reader gets them: XZ files decompressed.
bool dump_bytes(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
    const std::vector<uint8_t> raw = read_file(path);
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".xz") != 0) {
        *out = raw;
        return true;
    }
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&strm, UINT64_MAX, 0) != LZMA_OK) {
        *error = "no decoder";
        return false;
    }
    strm.next_in = raw.data();
    strm.avail_in = raw.size();
    uint8_t buf[65536];
    lzma_ret ret;
    do {
        strm.next_out = buf;
        strm.avail_out = sizeof buf;
        ret = lzma_code(&strm, LZMA_FINISH);
        out->insert(out->end(), buf, buf + (sizeof buf - strm.avail_out));
    } while (ret == LZMA_OK);
    lzma_end(&strm);
    if (ret != LZMA_STREAM_END) *error = "not a whole XZ stream (lzma " + std::to_string(ret) + ")";
    return ret == LZMA_STREAM_END;
}

// What all runs' indexed dumps add up to, for the one tshark pass.
struct capture_batch {
    std::vector<uint8_t> bytes;
    long frames = 0;  // blocks after each file's two header blocks
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
};

// Checks one finished run; returns its failures, one line each.
std::vector<std::string> check_run(const damage_case& c, const daemon_setup& d,
                                   const std::vector<std::string>& before, const run_result& r,
                                   capture_batch* batch) {
    std::vector<std::string> bad;
    auto fail = [&](const std::string& what) { bad.push_back(c.name + ": " + what); };

    if (r.timed_out) fail("did not end within the time limit (killed)");
    if (r.status >= 128) fail("died by signal " + std::to_string(r.status - 128));
    // (A failed allocation only warns: the daemon must handle it.)
    if (r.err.find("ERROR: AddressSanitizer") != std::string::npos ||
        r.err.find("ERROR: LeakSanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos || r.err.find("SUMMARY: ") != std::string::npos) {
        fail("sanitizer report:\n" + r.err.substr(0, 2000));
    }
    if (r.status != 0 && r.status != 1) fail("status " + std::to_string(r.status));
    if (c.expect == ending::ok && r.status != 0) fail("status " + std::to_string(r.status) + ", 0 expected; stderr: " + r.err.substr(0, 500));
    if (c.expect == ending::error && r.status != 1) fail("status " + std::to_string(r.status) + ", 1 expected");

    // Nothing beside the output directory changed; inside it only regular files.
    if (list_dir(d.tmp.path()) != before) fail("entries appeared or vanished beside the output directory");
    for (const std::string& name : list_dir(d.out)) {
        struct stat st;
        if (lstat((d.out + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            fail("not a regular file in the output directory: " + name);
        }
    }

    const std::string index_path = d.out + "/records";
    if (!file_exists(index_path)) return bad;
    const std::string index = read_text(index_path);
    if (!index.empty() && index.back() != '\n') fail("the index ends in a partial line");
    for (const std::string& line : split_lines(index)) {
        std::vector<check::json_member> members;
        std::string error;
        if (!check::json_valid(line, &members, &error)) {
            fail("index line is not valid UTF-8 JSON (" + error + "): " + line);
            continue;
        }
        const check::json_member* name = check::find_member(members, "filename");
        const check::json_member* count = check::find_member(members, "record_count");
        if (!name || !name->is_string || !count || count->is_string) {
            fail("index line without filename or record_count: " + line);
            continue;
        }
        const std::string path = d.out + "/" + name->value;
        struct stat st;
        if (name->value.empty() || name->value.find('/') != std::string::npos ||
            lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            fail("index line names no dump in the directory: " + line);
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!dump_bytes(path, &bytes, &error)) {
            fail("indexed dump " + name->value + ": " + error);
            continue;
        }
        std::vector<pcap_block> blocks = walk_blocks(bytes, &error);
        if (!error.empty()) {
            fail("indexed dump " + name->value + " is not whole: " + error);
            continue;
        }
        if (std::to_string(record_blocks(bytes)) != count->value) {
            fail("indexed dump " + name->value + " holds " + std::to_string(record_blocks(bytes)) +
                 " records, its line says " + count->value);
        }
        batch->frames += static_cast<long>(blocks.size()) - 2;
        batch->bytes.insert(batch->bytes.end(), bytes.begin(), bytes.end());
        batch->files.emplace_back(c.name + ": " + name->value, std::move(bytes));
    }
    return bad;
}

TEST(DamagedStreams, DaemonSurvivesEveryOneAndIndexesOnlyWholeDumps) {
    temp_dir tmp;
    const std::vector<damage_case> cases = make_cases(tmp);

    capture_batch batch;
    std::vector<std::string> failures;
    size_t with_index_lines = 0;
    for (const damage_case& c : cases) {
        daemon_setup d;
        write_file(d.input, c.stream);
        const std::vector<std::string> before = list_dir(d.tmp.path());
        run_options o = d.options(c.extra);
        o.timeout_ms = 30000;
        // A sanitizer report ends the run with a status no ending of the
        // daemon has; failed allocations return null as in production.
        o.env["ASAN_OPTIONS"] = "detect_leaks=1:allocator_may_return_null=1:exitcode=86";
        o.env["UBSAN_OPTIONS"] = "print_stacktrace=1:exitcode=87";
        const run_result r = run(daemon_path(), o);
        const size_t files_before = batch.files.size();
        for (std::string& f : check_run(c, d, before, r, &batch)) failures.push_back(std::move(f));
        if (batch.files.size() > files_before) with_index_lines++;
    }
    for (size_t i = 0; i < failures.size() && i < 25; i++) ADD_FAILURE() << failures[i];
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures in " << cases.size() << " runs";
    // Most damage leaves some messages whole: their dumps must be indexed.
    EXPECT_GT(with_index_lines, cases.size() / 2);

    if (!have_program("tshark")) GTEST_SKIP() << "tshark not installed: captures not read back";
    ASSERT_GT(batch.frames, 0);
    write_file(tmp / "all.pcapng", batch.bytes);
    std::string out;
    const int frames = tshark_frames(tmp / "all.pcapng", &out);
    if (frames != batch.frames) {
        // Name the first file tshark does not read on its own.
        for (const auto& [name, bytes] : batch.files) {
            write_file(tmp / "one.pcapng", bytes);
            std::string one;
            if (tshark_frames(tmp / "one.pcapng", &one) < 0) {
                ADD_FAILURE() << "tshark cannot read " << name << ":\n" << one.substr(0, 1000);
                break;
            }
        }
    }
    printf("%zu damaged streams, %zu indexed dumps, %d frames read back by tshark\n",
           cases.size(), batch.files.size(), frames);
    EXPECT_EQ(frames, batch.frames) << "tshark read " << batch.files.size()
                                    << " dumps as one capture:\n" << out.substr(0, 2000);
}

}  // namespace
