#!/usr/bin/env bash
# Installs what is missing, builds the wizard and starts it.
#   scripts/run.sh                  the wizard
#   scripts/run.sh --demo           first starts throw-away source and target
#                                   servers on loopback (scripts/demo.py),
#                                   writes a sample accounts file and prints
#                                   what to type on each page; closing the
#                                   wizard stops them
#   scripts/run.sh --target         first starts the stand-in target alone,
#                                   for a migration from a real source server
#                                   with your own accounts file; closing the
#                                   wizard stops it and lists what it holds
#   ... --fresh                     with --demo or --target: the stand-in
#                                   starts empty; without it, it keeps the
#                                   accounts, mail and settings of the last
#                                   run (build/demo), for a second run
#   scripts/run.sh --demo --check   the same without a display: starts the
#   scripts/run.sh --target --check servers and the wizard (offscreen), checks
#                                   that the wizard opened its logs, and stops
#                                   everything
# Other arguments go to the wizard (Qt's own options, e.g. -platform xcb).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
servers=
check=0
fresh=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --demo) servers=demo ;;
    --target) servers=target ;;
    --check) check=1 ;;
    --fresh) fresh=(--fresh) ;;
    *) break ;;
  esac
  shift
done
if { ((check)) || ((${#fresh[@]})); } && [[ -z $servers ]]; then
  echo "run: --check and --fresh go with --demo or --target" >&2
  exit 2
fi

# Before anything is installed or built: without a display the wizard
# can't show itself.
if ((!check)) && [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  printf '%s\n' "run: no display; start the wizard on a desktop, or under xvfb-run" \
    "     (\"bash scripts/install-deps.sh screenshots\" installs it)" >&2
  exit 1
fi

# Only what building and running need; the demo's servers with them.
"$root/scripts/install-deps.sh" run $servers
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target zorp vmd vxiconv
if ((check)); then
  export QT_QPA_PLATFORM=offscreen
  # The check's logs go to a folder of its own, not the user's; so does
  # Qt's runtime folder, which it would otherwise make in /tmp and leave.
  state="$(mktemp -d /tmp/zorp-check.XXXXXX)"
  export XDG_STATE_HOME="$state"
  mkdir -m 700 "$state/runtime"
  export XDG_RUNTIME_DIR="$state/runtime"
fi

demo_pid=
zorp_pid=
ready=
stop_all() {
  local pid
  for pid in $zorp_pid $demo_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -f "${ready:-/nonexistent}"
  [[ -z "${state:-}" ]] || rm -rf "$state"
}
trap stop_all EXIT
trap 'exit 130' INT TERM HUP

if [[ -n $servers ]]; then
  ready="$(mktemp -u /tmp/zorp-demo-ready.XXXXXX)"
  only=()
  [[ $servers == target ]] && only=(--target-only)
  # build/demo keeps the servers' certificate from one demo to the next,
  # and the stand-in's accounts, mail and settings.
  python3 "$root/scripts/demo.py" "${only[@]}" "${fresh[@]}" "$root/build/demo" "$ready" &
  demo_pid=$!
  for _ in $(seq 600); do
    [[ -e "$ready" ]] && break
    kill -0 "$demo_pid" 2>/dev/null || { echo "run: the demo servers did not start" >&2; exit 1; }
    sleep 0.1
  done
  [[ -e "$ready" ]] || { echo "run: the demo servers did not start in time" >&2; exit 1; }
fi

# In the background, so that a signal to this script reaches the trap at
# once and the wizard and the servers stop together.
"$root/build/bin/zorp" "$@" &
zorp_pid=$!
if ((check)); then
  for _ in $(seq 100); do
    compgen -G "$state/ZorpLogs/*/report.txt" >/dev/null && break
    kill -0 "$zorp_pid" 2>/dev/null || { echo "run: the wizard ended at start-up" >&2; exit 1; }
    sleep 0.1
  done
  compgen -G "$state/ZorpLogs/*/report.txt" >/dev/null \
    || { echo "run: the wizard did not open its report" >&2; exit 1; }
  kill -0 "$zorp_pid" 2>/dev/null || { echo "run: the wizard ended at start-up" >&2; exit 1; }
  echo "run: check passed: the demo servers and the wizard are running; stopping them"
  exit 0
fi
status=0
wait "$zorp_pid" || status=$?
zorp_pid=
exit "$status"
