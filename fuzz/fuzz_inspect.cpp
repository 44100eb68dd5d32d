// Feeds arbitrary file bytes to the dump reader as quarn_inspect gets them:
// decompressed when they start like an XZ or zstd stream, walked plainly
// and strictly, and printed in both views, as the decoded-record table and
// as the connection's summary in its three forms.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_dumpshow.h"
#include "inspect/quarn_parts.h"
#include "inspect/quarn_rowtable.h"
#include "inspect/quarn_summary.h"

namespace {

FILE* sink() {
    static FILE* f = fopen("/dev/null", "w");
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes;
    std::string err;
    if (quarn::dump_decompress(quarn::dump_compression_of(data, size), data, size, bytes, err) != 0) {
        return 0;
    }
    for (bool strict : {false, true}) {
        quarn::dump_contents c;
        quarn::dump_fault fault;
        quarn::dump_parse(bytes.data(), bytes.size(), strict, c, fault);
        quarn::dump_show_text(sink(), c, "fuzz.7.pcapng");
        quarn::dump_show_json(sink(), c, "fuzz.7.pcapng");
        std::vector<quarn::record_row> rows;
        quarn::rows_of_dump(c, quarn::row_source_of_path("fuzz.7.pcapng"), rows);
        quarn::rows_sort_by_time(rows);
        std::string csv;
        for (const quarn::record_row& r : rows) quarn::csv_append_row(csv, r);
        fwrite(csv.data(), 1, csv.size(), sink());
    }
    std::vector<quarn::dump_part> parts(1);
    parts[0].bytes = bytes;
    quarn::dump_fault fault;
    quarn::dump_parse(parts[0].bytes.data(), parts[0].bytes.size(), false, parts[0].contents, fault);
    std::vector<quarn::conn_summary> rows(1);
    quarn::summary_of_parts(parts, "", rows[0]);
    std::string text;
    for (auto f : {quarn::summary_format::text, quarn::summary_format::json, quarn::summary_format::csv}) {
        quarn::summary_append(text, rows, f);
    }
    fwrite(text.data(), 1, text.size(), sink());
    return 0;
}
