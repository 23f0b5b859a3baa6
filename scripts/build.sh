#!/usr/bin/env bash
# Installs what building needs when it is missing, then configures and
# builds one flavour of the tree.
#   scripts/build.sh [--asan|--tsan|--clang-asan]
# Build folders: build/ (default), build-asan/, build-tsan/, and
# build-clang-asan/: ASan+UBSan again, built with clang 14, whose checks
# differ from gcc's (an enumeration loaded with a value outside its range,
# for one) and whose warnings do too.
# The build shows its progress and its errors on standard error as it runs;
# standard output gets only the build folder, once the build has succeeded,
# so that a caller can take it with dir=$(scripts/build.sh).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
flavour="${1:-}"
uses=(run)
case "$flavour" in
  "")     dir=build;      extra=() ;;
  --asan) dir=build-asan; extra=(-DTAVIR_ASAN=ON) ;;
  --tsan) dir=build-tsan; extra=(-DTAVIR_TSAN=ON) ;;
  --clang-asan)
    dir=build-clang-asan
    extra=(-DTAVIR_ASAN=ON -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)
    uses=(fuzz) ;;
  *) echo "usage: $0 [--asan|--tsan|--clang-asan]" >&2; exit 2 ;;
esac
# What installing says goes to standard error with the build's progress.
"$root/scripts/install-deps.sh" "${uses[@]}" >&2
cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)" >&2
echo "$root/$dir"
