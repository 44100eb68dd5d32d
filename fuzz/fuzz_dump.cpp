// Feeds arbitrary log messages to do_bbr_record, as a worker would get them
// from the reader: an 8-byte aligned buffer whose tlh_length is its size.
// Every fourth input is written XZ-compressed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quarn_dump.h"
#include "quarn_idcache.h"
#include "quarn_logfmt.h"
#include "quarn_records.h"

#include "fuzz_support.h"

namespace {

int out_dir_fd = -1;
unsigned runs = 0;

void init_once() {
    if (out_dir_fd >= 0) return;
    out_dir_fd = quarn::fuzz::make_out_dir();
    quarn::idcache_init(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    init_once();
    if (size < quarn::COMMON_HEADER_SIZE) return 0;
    auto* msg = static_cast<uint8_t*>(aligned_alloc(8, (size + 7) / 8 * 8));
    memcpy(msg, data, size);
    quarn::set_tlh_length(msg, size);
    quarn::dump_set_compression((runs % 4) == 3   ? quarn::dump_compression::xz
                                : (runs % 4) == 2 ? quarn::dump_compression::zstd
                                                  : quarn::dump_compression::none);
    quarn::do_bbr_record(out_dir_fd, msg);
    free(msg);
    if (++runs % 256 == 0) {
        quarn::fuzz::clear_dir(out_dir_fd);
        if (quarn::fuzz::count_entries(out_dir_fd) != 0) abort();  // the directory must not grow
        quarn::records_request_reopen();  // and "records" must not live on unlinked
    }
    return 0;
}
