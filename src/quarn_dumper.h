// The top floor of the daemon: main's start-up, the options and the signal
// handlers. Nothing else in the daemon includes this header; the flags and
// the ending it drives live in quarn_process.h.
#ifndef QUARN_DUMPER_H
#define QUARN_DUMPER_H

namespace quarn {

// The daemon's entry point: start-up, then the reader. Returns the exit
// status when start-up fails or the -d parent leaves; otherwise the reader
// ends the process.
int quarn_main(int argc, char** argv);

}  // namespace quarn

#endif
