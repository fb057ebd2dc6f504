#!/usr/bin/env bash
# Builds the snapshot-reader fuzzer (libFuzzer + ASan + UBSan, clang from
# Debian's clang-14 and libclang-rt-14-dev), writes the seed corpus and fuzzes
# for SECONDS (default 600) at low priority.
#   bash fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
build=${FUZZ_BUILD:-build/fuzz}
mkdir -p fuzz/corpus fuzz/crashes
# The engine's sources are CMake's list; the fuzzer is one of its targets.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_MODULE=OFF \
  -DSORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" >/dev/null
cmake --build "$build" --target fuzz_snapshot -j2 >/dev/null
python3 fuzz/make_seeds.py fuzz/corpus
exec nice -n 19 "$build/fuzz_snapshot" fuzz/corpus -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -max_len=8192 -artifact_prefix=fuzz/crashes/ \
  -print_final_stats=1 "$@"
