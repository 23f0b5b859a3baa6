#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh [--asan|--tsan] [ctest arguments...]
# e.g. scripts/test.sh -L imapclient     scripts/test.sh --asan -L utils
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
flavour=()
if [[ "${1:-}" == --asan || "${1:-}" == --tsan ]]; then
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
ctest --output-on-failure -j "$(nproc)" "$@"
