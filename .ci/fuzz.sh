#!/usr/bin/env bash
# Builds the libFuzzer target of the sampling core with clang and runs it for
# about a minute from the seed corpus in fuzz/corpus/, checking every call
# against the reference model in fuzz/reference_engine.cpp. A crash, a
# sanitizer report, a broken invariant or a difference from the model fails
# the run and leaves the input in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
updated=no
apt_install() {
  if [ "$updated" = no ]; then
    apt-get update -qq
    updated=yes
  fi
  apt-get install -y -qq "$@" >/dev/null
}
if ! command -v clang++ >/dev/null 2>&1; then
  apt_install clang
fi
# The fuzzer runtime ships in the compiler-rt package of clang's version.
major="$(clang++ -dumpversion | cut -d. -f1)"
rt="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a"
if [ ! -e "$rt" ] && ! dpkg -s "libclang-rt-${major}-dev" >/dev/null 2>&1; then
  apt_install "libclang-rt-${major}-dev"
fi

bash fuzz/build.sh
rm -rf build/fuzz/corpus build/fuzz/artifacts
mkdir -p build/fuzz/corpus build/fuzz/artifacts
# New inputs go to build/fuzz/corpus; fuzz/corpus is only read.
build/fuzz/fuzz_engine -max_total_time="${FUZZ_SECONDS:-60}" -max_len=512 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
  build/fuzz/corpus fuzz/corpus
