// The parts of one connection: listed in numeric order, loaded, and the
// serial numbers that jump from one part to the next, through the library
// and through quarn_inspect --join's report.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_harness.h"
#include "inspect/quarn_parts.h"
#include "quarn_logfmt.h"
#include "inspect_fixture.h"

namespace quarn {
namespace {

namespace qb = quarn::build;
using test::q;
using test::shell;

constexpr const char* STEM = "conn_443_10.0.0.2_50000";

TEST(DumpNames, ParsedOnlyInTheDaemonsForm) {
    const struct {
        const char* name;
        bool ok;
        const char* stem;
        int32_t seq;
        const char* suffix;
    } cases[] = {
        {"a_1_10.0.0.2_2.0.pcapng", true, "a_1_10.0.0.2_2", 0, ""},
        {"a.b.17.pcapng.xz", true, "a.b", 17, ".xz"},
        {"x.2147483647.pcapng.zst", true, "x", 2147483647, ".zst"},
        {"x.2147483648.pcapng", false, "", 0, ""},
        {"x.-1.pcapng", false, "", 0, ""},
        {".3.pcapng", false, "", 0, ""},
        {"x..pcapng", false, "", 0, ""},
        {"x.3.pcapng.gz", false, "", 0, ""},
        {"x.3.pcap", false, "", 0, ""},
        {"records", false, "", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dump_name dn;
        ASSERT_EQ(parse_dump_name(c.name, dn), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(dn.stem, c.stem);
        EXPECT_EQ(dn.seq, c.seq);
        EXPECT_STREQ(dn.compression->suffix, c.suffix);
    }
}

class Parts : public test::InspectDumps {
protected:
    // One dump per list of serial numbers (a packet, then events), renamed
    // to the given part number.
    struct part_plan {
        int number;
        std::vector<uint32_t> serials;  // empty: a file with no record
    };

    std::vector<std::string> make(const std::vector<part_plan>& built) {
        std::vector<std::string> names;
        int made = 0;
        for (const part_plan& ps : built) {
            const std::string want = std::string(STEM) + "." + std::to_string(ps.number) + ".pcapng";
            std::vector<qb::record_fields> recs;
            const std::vector<uint32_t> serials = ps.serials.empty() ? std::vector<uint32_t>{1} : ps.serials;
            for (size_t i = 0; i < serials.size(); i++) {
                qb::record_fields r;
                r.serial = serials[i];
                r.stack_id = test::STACK_A;
                r.sec = 100 + made;
                if (i > 0) {
                    r.flags = 0;
                    r.event_id = 3;
                }
                recs.push_back(r);
            }
            qb::header_fields h;
            h.id = "conn";
            dump(h, recs);
            std::string made_name;
            for (const std::string& n : test::list_dir(dir_.path())) {
                if (n.rfind(STEM, 0) == 0) made_name = dir_ / n;
            }
            std::vector<uint8_t> bytes = test::read_file(made_name);
            EXPECT_EQ(unlink(made_name.c_str()), 0);
            // A part with no record: the section header and interface alone.
            if (ps.serials.empty()) bytes.resize(bytes.size() - 368);
            test::write_file(dir_ / ("tmp." + want), bytes);
            names.push_back(want);
            made++;
        }
        for (const std::string& n : names) {
            EXPECT_EQ(rename((dir_ / ("tmp." + n)).c_str(), (dir_ / n).c_str()), 0);
        }
        return names;
    }
};

TEST_F(Parts, JumpsBetweenPartsNameThePartsAndTheCount) {
    const struct {
        const char* name;
        std::vector<part_plan> parts;
        // Expected jumps: indices of the parts (numeric order) and the count.
        std::vector<part_jump> jumps;
    } cases[] = {
        {"in step", {{0, {5, 6, 7}}, {1, {8, 9}}}, {}},
        {"one lost", {{0, {5, 6}}, {1, {8, 9}}}, {{0, 1, 6, 8, 1}}},
        {"ten lost", {{0, {5, 6}}, {1, {7}}, {2, {18, 19}}}, {{1, 2, 7, 18, 10}}},
        // 10 comes after 9, not after 1.
        {"numeric order", {{1, {1}}, {9, {2}}, {10, {3}}, {2, {20}}}, {{0, 1, 1, 20, 18}, {1, 2, 20, 2, 4294967277u}}},
        {"wrap is no jump", {{0, {4294967294u, 4294967295u}}, {1, {0, 1}}}, {}},
        {"a gap inside a part is the part's own", {{0, {1, 2, 6}}, {1, {7}}}, {}},
        {"same serial again", {{0, {4}}, {1, {4}}}, {{0, 1, 4, 4, 4294967295u}}},
        {"a part without records is passed over", {{0, {3}}, {1, {}}, {2, {9}}}, {{0, 2, 3, 9, 5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& n : test::list_dir(dir_.path())) unlink((dir_ / n).c_str());
        const std::vector<std::string> names = make(c.parts);
        stem_parts sp;
        std::string err;
        ASSERT_EQ(stem_parts_load(dir_ / STEM, true, sp, err), 0) << err;
        ASSERT_EQ(sp.parts.size(), c.parts.size());
        for (size_t i = 1; i < sp.parts.size(); i++) {
            EXPECT_LT(sp.parts[i - 1].parsed.seq, sp.parts[i].parsed.seq);
        }
        ASSERT_EQ(sp.jumps.size(), c.jumps.size());
        std::string expect_err;
        for (size_t i = 0; i < c.jumps.size(); i++) {
            const part_jump& got = sp.jumps[i];
            const part_jump& want = c.jumps[i];
            EXPECT_EQ(got.before, want.before);
            EXPECT_EQ(got.after, want.after);
            EXPECT_EQ(got.last_serial, want.last_serial);
            EXPECT_EQ(got.first_serial, want.first_serial);
            EXPECT_EQ(got.missing, want.missing);
            const std::string text = std::to_string(want.missing) + " records missing between " +
                                     sp.parts[want.before].name + " and " + sp.parts[want.after].name;
            EXPECT_EQ(part_jump_text(sp, got), text);
            expect_err += "quarn_inspect: " + dir_ / STEM + ": " + text + "\n";
        }
        // --join tells the same on standard error, and its output passes
        // the strict check with a gap block of each jump's count right
        // before the later part's first record: the parts' own blocks
        // come first, so it follows an interface. Without those blocks the
        // output is the parts' bytes one after the other.
        const test::run_result r = test::inspect({"--join", dir_ / STEM, "-o", dir_ / "joined"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, expect_err);
        const std::vector<uint8_t> joined = test::read_file(dir_ / "joined");
        dump_contents jc;
        dump_fault fault;
        ASSERT_EQ(dump_parse(joined.data(), joined.size(), true, jc, fault), 0)
            << fault.offset << ": " << fault.message;
        std::vector<std::pair<uint32_t, uint32_t>> marked;  // missing, serial of the record after
        std::vector<uint8_t> unmarked;
        for (size_t i = 0; i < jc.blocks.size(); i++) {
            const dump_block& b = jc.blocks[i];
            if (b.kind == dump_block_kind::gap && jc.blocks[i - 1].kind == dump_block_kind::interface) {
                ASSERT_LT(i + 1, jc.blocks.size());
                ASSERT_TRUE(dump_block_has_record(jc.blocks[i + 1]));
                marked.emplace_back(b.missing, rec_serial(jc.blocks[i + 1].record));
                continue;
            }
            unmarked.insert(unmarked.end(), joined.begin() + static_cast<std::ptrdiff_t>(b.offset),
                            joined.begin() + static_cast<std::ptrdiff_t>(b.offset + b.length));
        }
        std::vector<std::pair<uint32_t, uint32_t>> want_marked;
        for (const part_jump& j : c.jumps) want_marked.emplace_back(j.missing, j.first_serial);
        EXPECT_EQ(marked, want_marked);
        std::vector<uint8_t> concatenated;
        for (const dump_part& p : sp.parts) {
            const std::vector<uint8_t> b = test::read_file(p.path);
            concatenated.insert(concatenated.end(), b.begin(), b.end());
        }
        EXPECT_TRUE(unmarked == concatenated);
        // --check counts the parts' own gaps and the jumps alike.
        uint64_t gaps = c.jumps.size(), missing = 0;
        for (const part_jump& j : c.jumps) missing += j.missing;
        for (const dump_part& p : sp.parts) {
            for (const dump_block& b : p.contents.blocks) {
                if (b.kind != dump_block_kind::gap) continue;
                gaps++;
                missing += b.missing;
            }
        }
        const test::run_result check = test::inspect({"--check", dir_ / "joined"});
        EXPECT_EQ(check.status, 0) << check.err;
        EXPECT_NE(check.out.find(", " + std::to_string(gaps) + " gaps, " + std::to_string(missing) + " records missing"),
                  std::string::npos)
            << check.out;
        unlink((dir_ / "joined").c_str());
    }
}

TEST_F(Parts, CompressedPartsLoadAndABadPartFailsTheWhole) {
    ASSERT_TRUE(test::have_program("xz") && test::have_program("zstd"));
    make({{0, {1, 2}}, {1, {3}}, {2, {9}}});
    shell("cd " + q(dir_.path()) + " && xz -0 " + STEM + ".1.pcapng && zstd -q --rm " + STEM + ".2.pcapng");
    stem_parts sp;
    std::string err;
    ASSERT_EQ(stem_parts_load(dir_ / STEM, true, sp, err), 0) << err;
    ASSERT_EQ(sp.parts.size(), 3u);
    EXPECT_EQ(sp.parts[1].name, std::string(STEM) + ".1.pcapng.xz");
    EXPECT_EQ(sp.parts[2].name, std::string(STEM) + ".2.pcapng.zst");
    EXPECT_EQ(sp.parts[2].first_serial, 9u);
    ASSERT_EQ(sp.jumps.size(), 1u);
    EXPECT_EQ(part_jump_text(sp, sp.jumps[0]), "5 records missing between " + std::string(STEM) +
                                                   ".1.pcapng.xz and " + STEM + ".2.pcapng.zst");

    // A part cut short: the load fails, naming it.
    std::vector<uint8_t> b = test::read_file(dir_ / (std::string(STEM) + ".0.pcapng"));
    b.resize(b.size() - 8);
    test::write_file(dir_ / (std::string(STEM) + ".0.pcapng"), b);
    EXPECT_EQ(stem_parts_load(dir_ / STEM, false, sp, err), -1);
    EXPECT_EQ(err.rfind(dir_ / (std::string(STEM) + ".0.pcapng: offset "), 0), 0u) << err;
    EXPECT_EQ(stem_parts_load(dir_ / "nothing", false, sp, err), -1);
    EXPECT_NE(err.find("no dumps named"), std::string::npos) << err;
}

// Stems loaded through one shared listing find the same parts, and fail
// the same way, as stems loaded each with its own listing: another stem of
// the same directory, a stem of another directory (listed anew), the first
// directory again, and a stem with no file.
TEST_F(Parts, StemsThroughOneListingFindWhatEachFindsAlone) {
    make({{0, {1, 2}}, {1, {3}}});
    const std::string other = "other_80_10.0.0.3_4000";
    ASSERT_EQ(link((dir_ / (std::string(STEM) + ".1.pcapng")).c_str(), (dir_ / (other + ".7.pcapng")).c_str()), 0);
    ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
    ASSERT_EQ(link((dir_ / (std::string(STEM) + ".0.pcapng")).c_str(),
                   (dir_ / ("sub/" + std::string(STEM) + ".3.pcapng")).c_str()),
              0);
    const struct {
        std::string path_stem;
        int rc;
        std::vector<std::string> names;
    } cases[] = {
        {dir_ / STEM, 0, {std::string(STEM) + ".0.pcapng", std::string(STEM) + ".1.pcapng"}},
        {dir_ / other, 0, {other + ".7.pcapng"}},
        {dir_ / ("sub/" + std::string(STEM)), 0, {std::string(STEM) + ".3.pcapng"}},
        {dir_ / STEM, 0, {std::string(STEM) + ".0.pcapng", std::string(STEM) + ".1.pcapng"}},
        {dir_ / "nothing", -1, {}},
    };
    stem_listing listing;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path_stem);
        stem_parts shared, alone;
        std::string shared_err, alone_err;
        ASSERT_EQ(stem_parts_load(c.path_stem, true, shared, shared_err, &listing), c.rc) << shared_err;
        ASSERT_EQ(stem_parts_load(c.path_stem, true, alone, alone_err), c.rc) << alone_err;
        EXPECT_EQ(shared_err, alone_err);
        std::vector<std::string> names, paths, alone_paths;
        for (const dump_part& p : shared.parts) {
            names.push_back(p.name);
            paths.push_back(p.path);
        }
        for (const dump_part& p : alone.parts) alone_paths.push_back(p.path);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(paths, alone_paths);
    }
}

}  // namespace
}  // namespace quarn
