#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 60]
# Long runs are how fuzzing finds the rare inputs: give as many seconds as
# you can spare.
# The saved corpus (tests/fuzz/corpus/<target>) is read, never written: new
# inputs go to build-fuzz/new-corpus/<target>, crashes to
# build-fuzz/artifacts/. A crash makes the script fail. To keep a useful new
# input, copy it into the saved corpus (it is then replayed by ctest).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
# From 1 second to nine digits' worth (31 years), which libFuzzer's
# -max_total_time holds; 0 would mean no limit at all.
if ! [[ "$seconds" =~ ^[1-9][0-9]{0,8}$ ]]; then
  echo "usage: $0 [seconds per target, a whole number from 1]" >&2
  exit 2
fi
"$root/scripts/install-deps.sh" fuzz
dir="$root/build-fuzz"
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVIR_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
targets=(imap_parser imap_response imap_quote tinydb_decoder tinydb_session)
cmake --build "$dir" --target "${targets[@]/#/fuzz_}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$dir/artifacts"
for target in "${targets[@]}"; do
  fresh="$dir/new-corpus/$target"
  mkdir -p "$fresh"
  echo "fuzz: $target for ${seconds}s"
  "$dir/bin/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
    "$fresh" "$root/tests/fuzz/corpus/$target"
done
echo "fuzz: all targets ran clean"
