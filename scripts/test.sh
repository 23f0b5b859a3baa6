#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then names each
# test that skipped with its reason, one line each, and ends with a line
# that counts them by reason. The integration tests that start Dovecot
# skip unless they run as root.
#   scripts/test.sh [--asan|--tsan|--clang-asan] [ctest arguments...]
# e.g. scripts/test.sh -L imapclient     scripts/test.sh --asan -L utils
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
flavour=()
if [[ "${1:-}" == --asan || "${1:-}" == --tsan || "${1:-}" == --clang-asan ]]; then
  flavour=("$1")
  shift
fi
"$root/scripts/install-deps.sh" test
if ! dir=$("$root/scripts/build.sh" "${flavour[@]}"); then
  echo "test.sh: the build failed (its errors are above); no test was run" >&2
  exit 1
fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}"
cd "$dir"
log=Testing/Temporary/LastTest.log
rm -f "$log"
status=0
ctest --output-on-failure -j "$(nproc)" "$@" || status=$?

# A skipped test's output holds "<file>:<line>: Skipped" and then the
# reason it gave (GoogleTest's GTEST_SKIP), and ctest's log marks it.
skips=$(awk '
  /^[0-9]+\/[0-9]+ Testing: / { name = $0; sub(/^[^:]*: /, "", name); why = ""; reason = 0; next }
  reason { why = $0; reason = 0; next }
  /: Skipped$/ { reason = 1; next }
  /^Skip regular expression found in output/ { print name "\t" (why == "" ? "no reason given" : why) }
' "$log" 2>/dev/null | sort || true)
if [[ ! -f $log ]]; then
  :
elif [[ -z $skips ]]; then
  echo "test.sh: no test skipped"
else
  while IFS=$'\t' read -r name why; do echo "test.sh: skipped $name: $why"; done <<<"$skips"
  cut -f2 <<<"$skips" | sort | uniq -c | sort -rn | awk '
    { count = $1; sub(/^ *[0-9]+ /, ""); total += count
      reasons = reasons (reasons == "" ? "" : "; ") count " \"" $0 "\"" }
    END { printf "test.sh: %d test%s skipped: %s\n", total, total == 1 ? "" : "s", reasons }'
fi
exit "$status"
