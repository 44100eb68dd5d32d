// A picture of one connection: its time line (quarn_timeline.h), every item
// decoded into a row, from which rows gnuplot draws one figure of panels
// over a shared time axis: the events of interest by name (each RTO with
// its length), a band coloured by what limited each interval, the send
// sequence space (snd_una, snd_max, the sequence numbers of the segments
// sent and the acknowledgements received), the windows in bytes (cwnd,
// ssthresh, snd_wnd, the flight size, rcv_wnd and the send buffer's fill
// where the records carry it), and the round-trip times: srtt and rttvar
// in milliseconds for the base stack (at the tick rate the records show,
// see quarn_rowtable.h) with RACK's rack_rtt, and as the stack keeps them
// (raw) for records of other stacks, srtt on the left axis and rttvar on
// the right. Stretches where records were lost, and the time in recovery,
// are shaded in every panel. The limits, recoveries and RTOs are the
// summary's own (quarn_summary.h), and its verdict and retransmissions
// stand under the title.
//
// The script and data files are written into a private temporary
// directory, which is removed afterwards; quarn_gnuplot runs gnuplot. A
// connection stem is read as a stream (stem_walk_items): the rows of its
// records go to the data files as they come, so that memory holds about
// one part, and the marks, gaps and periods the script draws, however many
// parts the stem has.
#ifndef QUARN_PLOT_H
#define QUARN_PLOT_H

#include <string>
#include <string_view>

#include "quarn_gnuplot.h"
#include "quarn_timeline.h"

namespace quarn {

enum class plot_format { png, svg };

// The format an output name asks for by its suffix (".png" or ".svg",
// any case); false for any other name.
bool plot_format_of(std::string_view out_path, plot_format& f);

// The gnuplot script that draws `t` from the data files in `dir` into
// "<dir>/plot.out"; writes those data files. 0 with `script` set; -1 with
// a message in `err` when `t` holds no record to draw ("nothing to draw:
// ...") or a file cannot be written.
int plot_write_files(const timeline& t, const std::string& dir, plot_format f, std::string& script,
                     std::string& err);

// The same files for the connection stem `path_stem` (never a file name),
// the same bytes as plot_write_files gives for timeline_load's time line of
// it, read as a stream. 0 with `script` set, and `fault` naming the first
// part cut short or damaged, if any (its whole blocks are drawn); -1 with a
// message in `err` as plot_write_files, or when the parts cannot be listed
// or a block cannot stand in a time line (`fault` then empty).
int plot_write_stem_files(const std::string& path_stem, const std::string& dir, plot_format f, std::string& script,
                          std::string& fault, std::string& err);

// Draws `t` into `out_path` with the gnuplot at `gnuplot`. 0 on success;
// -1 with a one-line message in `err` (nothing to draw, a file that cannot
// be made, gnuplot's failure with the first line it printed).
int plot_timeline(const timeline& t, const std::string& gnuplot, const std::string& out_path,
                  plot_format f, std::string& err);

// Draws the connection stem `path_stem` as a stream; `fault` as for
// plot_write_stem_files, the rest as plot_timeline.
int plot_stem(const std::string& path_stem, const std::string& gnuplot, const std::string& out_path,
              plot_format f, std::string& fault, std::string& err);

}  // namespace quarn

#endif
