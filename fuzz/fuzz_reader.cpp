// Feeds an arbitrary input stream to the reader's framing, with the -r
// filter taken from the first input byte. No workers run: the messages the
// reader queues are checked against the stream and freed here.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quarn_dumper.h"
#include "quarn_logfmt.h"
#include "quarn_reader.h"

namespace {

void init_once() {
    static bool done = false;
    if (done) return;
    done = true;
    pthread_mutex_init(&quarn::queue_wait_mutex, nullptr);
    pthread_cond_init(&quarn::queue_wait_cond, nullptr);
    for (int i = 0; i < quarn::NUM_THREADS; i++) {
        pthread_mutex_init(&quarn::worker_mutex[i], nullptr);
        pthread_cond_init(&quarn::worker_cond[i], nullptr);
        quarn::work_queues[i].last = &quarn::work_queues[i].first;
    }
}

void drain() {
    for (int i = 0; i < quarn::NUM_THREADS; i++) {
        while (quarn::queue_entry* e = quarn::work_queues[i].first) {
            quarn::work_queues[i].first = e->next;
            // A queued message is whole and of type 1 with room for a header.
            if (quarn::tlh_type(e->msg) != 1 || quarn::tlh_length(e->msg) < quarn::LOG_HEADER_SIZE) abort();
            quarn::free_message(e->msg);
            delete e;
            quarn::queued_count--;
        }
        quarn::work_queues[i].last = &quarn::work_queues[i].first;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    init_once();
    if (size < 1) return 0;
    static const char* filters[] = {nullptr, "", "err", "rebuffer"};
    quarn::reason_filter = filters[data[0] % 4];
    quarn::reason_filter_len = quarn::reason_filter ? static_cast<int>(strlen(quarn::reason_filter)) : 0;
    // The reader allocates what a header announces before it reads the body;
    // an absurd length would end the process like a failed allocation does.
    // Cut the stream before such a header.
    for (size_t pos = 1; pos + quarn::COMMON_HEADER_SIZE <= size;) {
        const uint64_t len = quarn::load<uint64_t>(data + pos + 8);
        if (len > (uint64_t{64} << 20)) {
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
    // Fewer than 1000 queued messages per input: the reader never pauses.
    while (steps < 900 && quarn::reader_next(fd, 3, &end)) steps++;
    drain();
    close(fd);
    return 0;
}
