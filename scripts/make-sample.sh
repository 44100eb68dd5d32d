#!/bin/sh
# Regenerates the bundled sample stream and the emulated sysctl directory
# that goes with it: data/sample.tcplog and data/sysctl/.
#
# usage: scripts/make-sample.sh [out-dir]
#   out-dir defaults to the data/ directory of the source tree. The
#   synthesizer is $QUARN_SYNTH, or build/quarn_synth of the source tree.
#
# The sample: 300 messages over 20 connections at a time, IPv4 and IPv6,
# stack changes, lost serial numbers, connection ends, and a few short
# "error" and "rebuffer" messages among the "normal" ones.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-"$root/data"}
synth=${QUARN_SYNTH:-"$root/build/quarn_synth"}

if [ ! -x "$synth" ]; then
    echo "make-sample.sh: no synthesizer at $synth; build the quarn_synth target or set QUARN_SYNTH" >&2
    exit 1
fi

mkdir -p "$out"
"$synth" -s 1 -n 300 -c 20 -r 1-8 -6 40 -p 70 -v 10 -g 5 -S 12 -e 5 \
    -R normal:94,error:4,rebuffer:2 \
    -o "$out/sample.tcplog" -k "$out/sysctl"
