#!/usr/bin/env bash
# Builds a fuzzer (libFuzzer + ASan + UBSan, clang from Debian's clang-14 and
# libclang-rt-14-dev), writes its seed corpus and fuzzes for SECONDS (default
# 600) at low priority. FUZZ_TARGET picks the snapshot reader (snapshot, the
# default) or the experience-log reader and its replay (log).
# The log seeds need PYTHONPATH reaching a build of the module.
#   [FUZZ_TARGET=log] bash fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
build=${FUZZ_BUILD:-build/fuzz}
target=${FUZZ_TARGET:-snapshot}
case "$target" in
  snapshot) corpus=fuzz/corpus; seeds=fuzz/make_seeds.py; max_len=8192 ;;
  log) corpus=fuzz/corpus-log; seeds=fuzz/make_log_seeds.py; max_len=16384 ;;
  *) echo "FUZZ_TARGET must be snapshot or log, not $target" >&2; exit 2 ;;
esac
mkdir -p "$corpus" fuzz/crashes
# The sources are CMake's lists; the fuzzers are two of its targets.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_MODULE=OFF \
  -DSORVANE_FUZZ=ON -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-14}" >/dev/null
cmake --build "$build" --target "fuzz_$target" -j2 >/dev/null
python3 "$seeds" "$corpus"
exec nice -n 19 "$build/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -max_len="$max_len" -artifact_prefix=fuzz/crashes/ \
  -print_final_stats=1 "$@"
