#!/bin/sh
# Regenerates the bundled sample stream and the emulated sysctl directory
# that goes with it: data/sample.tcplog and data/sysctl/.
#
# usage: scripts/make-sample.sh [out-dir]
#   out-dir defaults to the data/ directory of the source tree. The
#   synthesizer is $QUARN_SYNTH, or build/quarn_synth of the source tree.
#
# The sample: eight story connections interleaved (quarn_synth --stories),
# each a TCP upload whose records hold the state its stack would log:
# handshake, slow start, a late segment, a loss and its recovery, an RTO,
# an idle application, a small peer window and the close. Among them IPv4
# and IPv6; the default, rack and bbr stacks, three connections changing
# stack inside a message; lost serial numbers inside and between dumps;
# short "rebuffer" and "error" messages, whose dumps the daemon removes;
# odd ids; two connections logging verbose records; two logs that stop
# before their connection ends.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-"$root/data"}
synth=${QUARN_SYNTH:-"$root/build/quarn_synth"}

if [ ! -x "$synth" ]; then
    echo "make-sample.sh: no synthesizer at $synth; build the quarn_synth target or set QUARN_SYNTH" >&2
    exit 1
fi

mkdir -p "$out"
"$synth" --stories 8 -s 1 -o "$out/sample.tcplog" -k "$out/sysctl"
