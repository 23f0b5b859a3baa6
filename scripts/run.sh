#!/usr/bin/env bash
# Installs what is missing, builds the wizard and starts it.
#   scripts/run.sh            the wizard
#   scripts/run.sh --demo     first starts throw-away source and target servers
#                             on loopback (scripts/demo.py), writes a sample
#                             accounts file and prints what to type on each
#                             page; closing the wizard stops them
# Other arguments go to the wizard (Qt's own options, e.g. -platform xcb).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
demo=0
if [[ "${1:-}" == --demo ]]; then
  demo=1
  shift
fi
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build "$root/build" --target help | grep -q '^zorp:'; then
  echo "run: this tree's migration engine is not complete yet, so there is no program to run" >&2
  exit 1
fi
cmake --build "$root/build" --target zorp vmd vxiconv
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run: no display; start the wizard on a desktop, or under xvfb-run" >&2
  exit 1
fi
if ((demo)); then
  ready="$(mktemp -u /tmp/zorp-demo-ready.XXXXXX)"
  python3 "$root/scripts/demo.py" "$ready" &
  demo_pid=$!
  trap 'kill "$demo_pid" 2>/dev/null; wait "$demo_pid" 2>/dev/null; rm -f "$ready"' EXIT
  for _ in $(seq 600); do
    [[ -e "$ready" ]] && break
    kill -0 "$demo_pid" 2>/dev/null || { echo "run: the demo servers did not start" >&2; exit 1; }
    sleep 0.1
  done
  [[ -e "$ready" ]] || { echo "run: the demo servers did not start in time" >&2; exit 1; }
fi
"$root/build/bin/zorp" "$@"
