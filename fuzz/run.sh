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
mkdir -p "$build" fuzz/corpus fuzz/crashes
"${FUZZ_CXX:-clang++-14}" -std=c++20 -O1 -g -ffp-contract=off -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Icore/src \
  fuzz/fuzz_snapshot.cpp core/src/api.cpp core/src/model.cpp core/src/hashing.cpp core/src/fingerprint.cpp \
  core/src/decide.cpp core/src/ledger.cpp core/src/snapshot.cpp -o "$build/fuzz_snapshot"
python3 fuzz/make_seeds.py fuzz/corpus
exec nice -n 19 "$build/fuzz_snapshot" fuzz/corpus -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -max_len=8192 -artifact_prefix=fuzz/crashes/ \
  -print_final_stats=1 "$@"
