#!/usr/bin/env bash
# Builds the libFuzzer target for the sampling core into build/fuzz/.
# Needs clang with its compiler runtime (Debian: clang, libclang-rt-*-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

CXX="${FUZZ_CXX:-clang++}"
mkdir -p build/fuzz
"$CXX" -std=c++17 -O1 -g -fno-omit-frame-pointer \
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc \
  fuzz/fuzz_engine.cpp fuzz/reference_engine.cpp src/store/*.cpp src/sampling/*.cpp \
  -o build/fuzz/fuzz_engine
echo "built build/fuzz/fuzz_engine"
