// Feeds arbitrary file bytes to the dump reader as quarn_inspect gets them:
// decompressed when they start like an XZ or zstd stream, walked plainly
// and strictly, and printed in both views.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "inspect/quarn_dumpread.h"
#include "inspect/quarn_dumpshow.h"

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
        quarn::dump_show_text(sink(), c);
        quarn::dump_show_json(sink(), c);
    }
    return 0;
}
