#!/usr/bin/env bash
# Installs, on Debian, whatever the build, the tests and the demo need and
# the machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config liblzma-dev libzstd-dev zlib1g-dev libbz2-dev libgtest-dev libbenchmark-dev
          xz-utils zstd tshark wireshark-common tcpdump jq python3 clang mandoc gnuplot-nox
          libclang-rt-14-dev)  # libFuzzer, for scripts/fuzz.sh

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark asks whether non-root users may capture; the answer does not matter here.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
