#!/usr/bin/env bash
# Installs what building needs when it is missing, then configures and
# builds one flavour of the tree.
#   scripts/build.sh [--asan|--tsan]
# Build folders: build/ (default), build-asan/, build-tsan/.
# The build shows its progress and its errors on standard error as it runs;
# standard output gets only the build folder, once the build has succeeded,
# so that a caller can take it with dir=$(scripts/build.sh).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
flavour="${1:-}"
case "$flavour" in
  "")     dir=build;      extra=() ;;
  --asan) dir=build-asan; extra=(-DTAVIR_ASAN=ON) ;;
  --tsan) dir=build-tsan; extra=(-DTAVIR_TSAN=ON) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
# What installing says goes to standard error with the build's progress.
"$root/scripts/install-deps.sh" run >&2
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)" >&2
echo "$root/$dir"
