#!/usr/bin/env bash
# Builds a fuzzer (libFuzzer + ASan + UBSan, clang from Debian's clang-14 and
# libclang-rt-14-dev), writes its seed corpus and fuzzes for SECONDS
# (default 600) at low priority. FUZZ_TARGET picks the fuzzer: snapshot
# (the default, the snapshot reader) or log (the toolkit's log reader and
# native replay; its seeds need PYTHONPATH reaching a build of the module).
#   bash fuzz/run.sh [SECONDS] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
build=${FUZZ_BUILD:-build/fuzz}
target=${FUZZ_TARGET:-snapshot}
mkdir -p "$build" fuzz/crashes
engine=(core/src/api.cpp core/src/model.cpp core/src/hashing.cpp core/src/decide.cpp core/src/ledger.cpp
        core/src/state.cpp)
flags=(-std=c++20 -O1 -g -ffp-contract=off -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Icore/src)
case "$target" in
  snapshot)
    corpus=fuzz/corpus
    mkdir -p "$corpus"
    "${FUZZ_CXX:-clang++-14}" "${flags[@]}" fuzz/fuzz_snapshot.cpp "${engine[@]}" -o "$build/fuzz_snapshot"
    python3 fuzz/make_seeds.py "$corpus"
    max_len=8192
    ;;
  log)
    corpus=fuzz/corpus-log
    mkdir -p "$corpus"
    "${FUZZ_CXX:-clang++-14}" "${flags[@]}" -Inative -isystem third_party/simdjson fuzz/fuzz_log.cpp \
      native/log_reader.cpp native/log_replay.cpp native/log_eval.cpp third_party/simdjson/simdjson.cpp "${engine[@]}" \
      -o "$build/fuzz_log"
    python3 fuzz/make_log_seeds.py "$corpus"
    max_len=16384
    ;;
  *)
    echo "FUZZ_TARGET must be snapshot or log, not $target" >&2
    exit 2
    ;;
esac
exec nice -n 19 "$build/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -max_len="$max_len" -artifact_prefix=fuzz/crashes/ \
  -print_final_stats=1 "$@"
