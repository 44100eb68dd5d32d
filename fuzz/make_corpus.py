#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/,
cut from a stream (the argument; data/sample.tcplog when none is given): a
few dozen small inputs per target, chosen to cover both address families,
plain and verbose records, stack changes, odd ids and reasons.
Deterministic: the same stream gives the same files.

The committed corpora come from the random pool's stream that was the
bundled sample before it was made of story connections:
  quarn_synth -s 1 -n 300 -c 20 -r 1-8 -6 40 -p 70 -v 10 -g 5 -S 12 -e 5 \\
      -R normal:94,error:4,rebuffer:2 -o pool.tcplog
  python3 fuzz/make_corpus.py pool.tcplog"""
import hashlib
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "data", "sample.tcplog")
OUT = os.path.join(ROOT, "fuzz", "corpus")
PER_TARGET = 30


def messages(stream):
    pos = 0
    while pos + 16 <= len(stream):
        length = struct.unpack_from("<Q", stream, pos + 8)[0]
        if length < 16 or pos + length > len(stream):
            break
        yield stream[pos:pos + length]
        pos += length


def pick(msgs, n):
    """n messages spread over the stream, smallest and largest included,
    every distinct (family, length) pair first."""
    seen, chosen = set(), []
    for m in msgs:
        key = (m[200], len(m))
        if key not in seen:
            seen.add(key)
            chosen.append(m)
    step = max(1, len(chosen) // n)
    return chosen[::step][:n]


def write(target, inputs):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    for old in os.listdir(d):
        os.unlink(os.path.join(d, old))
    for data in inputs:
        name = hashlib.sha1(data).hexdigest()
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


def main():
    stream = open(sys.argv[1] if len(sys.argv) > 1 else SAMPLE, "rb").read()
    msgs = list(messages(stream))
    chosen = pick(msgs, PER_TARGET)

    # fuzz_dump: one message each.
    write("fuzz_dump", chosen)

    # fuzz_reader: filter byte, then two or three messages in a row, and a
    # few cut in the middle of a header or body.
    reader = []
    for i, m in enumerate(chosen[:24]):
        nxt = chosen[(i + 1) % len(chosen)]
        reader.append(bytes([i % 4]) + m + nxt)
    for i, m in enumerate(chosen[24:30]):
        reader.append(bytes([i % 4]) + m + chosen[i][: 8 + 3 * i])
    write("fuzz_reader", reader)

    # fuzz_records: options byte, log header, 40 bytes of numbers (count,
    # date, first and last time, fragment number), stack name.
    names = [b"rack", b"bbr", b"default", b"caf\xc3\xa9", b"\xff\xfe", b"tab\there", b"q\"b\\"]
    records = []
    for i, m in enumerate(chosen[:28]):
        numbers = struct.pack("<Iqqqqi", 12 + i, 1700000000 + i, 100 + i, 900000, 101 + i, i)[:40]
        numbers = numbers.ljust(40, b"\0")
        records.append(bytes([i * 37 % 256]) + m[:208] + numbers + names[i % len(names)])
    write("fuzz_records", records)

    # fuzz_writers: writer byte, 32 plan bytes, data.
    writers = []
    for i, m in enumerate(chosen[:28]):
        plan = bytes((m[j] + i * 13) % 256 for j in range(32))
        writers.append(bytes([i % 8]) + plan + m)
    write("fuzz_writers", writers)

    # fuzz_tcplog: stack byte, then one record of the message, whole or cut
    # short of the decoded bytes or of the payload length.
    tcplog = []
    for i, m in enumerate(chosen[:28]):
        rec = m[208:208 + 328]
        cut = (len(rec), 268, 267, 264, 263, 100)[i % 6]
        tcplog.append(bytes([i % 4]) + rec[:cut])
    write("fuzz_tcplog", tcplog)
    return 0


if __name__ == "__main__":
    sys.exit(main())
