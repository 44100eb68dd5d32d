// Feeds an arbitrary input stream to the reader's framing, with the -r
// filter taken from the first input byte. No workers run: the messages the
// reader queues are taken back through the queue interface, checked against
// the framing rules and freed here.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quarn_process.h"
#include "quarn_logfmt.h"
#include "quarn_reader.h"

namespace {

// A directory descriptor the reader only passes on.
constexpr int UNUSED_DIR_FD = 3;
// Steps per input: fewer than QUEUE_PAUSE_AT messages, so the reader never
// pauses (nothing would resume it).
constexpr int MAX_STEPS = quarn::QUEUE_PAUSE_AT - 100;
// Lengths the reader would allocate are cut above this, to keep each run
// fast; lengths above MESSAGE_LENGTH_MAX stay, as the reader refuses them
// without allocating.
constexpr uint64_t FUZZ_ALLOC_MAX = uint64_t{1} << 20;

const char* const FILTERS[] = {nullptr, "", "err", "rebuffer"};
constexpr size_t FILTER_COUNT = sizeof FILTERS / sizeof FILTERS[0];

void take_back() {
    for (int i = 0; i < quarn::NUM_THREADS; i++) {
        quarn::queued_message m;
        while (quarn::queue_pop(i, nullptr, &m) == 1) {
            // A queued message is whole, of the handled type, with room for
            // a log header.
            if (quarn::tlh_type(m.msg) != quarn::TLH_TYPE_BBR ||
                quarn::tlh_length(m.msg) < quarn::LOG_HEADER_SIZE ||
                quarn::tlh_length(m.msg) > quarn::MESSAGE_LENGTH_MAX || m.dir_fd != UNUSED_DIR_FD) {
                abort();
            }
            quarn::free_message(m.msg);
            quarn::queue_done();
        }
    }
    if (quarn::queued_messages() != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    quarn::reader_set_reason_filter(FILTERS[data[0] % FILTER_COUNT]);
    for (size_t pos = 1; pos + quarn::COMMON_HEADER_SIZE <= size;) {
        const uint64_t len = quarn::load<uint64_t>(data + pos + quarn::OFF_TLH_LENGTH);
        if (len > FUZZ_ALLOC_MAX && len <= quarn::MESSAGE_LENGTH_MAX) {
            size = pos;
            break;
        }
        if (len < quarn::COMMON_HEADER_SIZE || len > size - pos) break;  // the reader ends here
        pos += len;
    }
    int fd = memfd_create("stream", 0);
    if (fd < 0) abort();
    if (size > 1 && write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) abort();
    lseek(fd, 0, SEEK_SET);
    quarn::reader_ending end;
    int steps = 0;
    while (steps < MAX_STEPS && quarn::reader_next(fd, UNUSED_DIR_FD, &end)) steps++;
    take_back();
    close(fd);
    return 0;
}
