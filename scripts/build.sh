#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [--asan|--tsan]
# Build folders: build/ (default), build-asan/, build-tsan/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
flavour="${1:-}"
case "$flavour" in
  "")     dir=build;      extra=() ;;
  --asan) dir=build-asan; extra=(-DTAVIR_ASAN=ON) ;;
  --tsan) dir=build-tsan; extra=(-DTAVIR_TSAN=ON) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)"
echo "$root/$dir"
