#!/usr/bin/env bash
# Installs the Debian packages that one use of the tree needs, and keeps the
# servers among them from starting at boot.
#   scripts/install-deps.sh [USE...]
#     run          build and run the wizard
#     target       run, and the stand-in target (Python, openssl)
#     demo         target, and the demo's source server (Dovecot)
#     test         run, and the tests' peers (Dovecot, Python, openssl, ...)
#     fuzz         run, and clang for the libFuzzer targets
#     bench        test, and mbsync for the migration benchmark
#     screenshots  test, and Xvfb
#   With no USE, every list.
# Idempotent: only what is missing is installed, after one apt-get update.
# The lists live in scripts/packages/*.txt, one package per line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

lists=()
for use in "$@"; do
  case "$use" in
    run)         lists+=(base gui net) ;;
    target)      lists+=(base gui net standin) ;;
    demo)        lists+=(base gui net standin demo) ;;
    test)        lists+=(base gui net core-tiny peers) ;;
    fuzz)        lists+=(base gui net fuzz) ;;
    bench)       lists+=(base gui net core-tiny peers bench) ;;
    screenshots) lists+=(base gui net core-tiny peers screenshots) ;;
    *) echo "usage: $0 [run|target|demo|test|fuzz|bench|screenshots]..." >&2; exit 2 ;;
  esac
done
if ((${#lists[@]} == 0)); then
  files=("$here"/packages/*.txt)
else
  files=()
  for list in "${lists[@]}"; do files+=("$here/packages/$list.txt"); done
fi
mapfile -t wanted < <(cat "${files[@]}" | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)

# Servers the lists bring in. The tests and the demo start instances of
# their own; the installed service is never to start at boot.
servers=(dovecot)

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null && as_root=(sudo)
fi
can_be_root() { [[ $(id -u) -eq 0 || ${#as_root[@]} -gt 0 ]]; }
# What to tell a user who is neither root nor has sudo.
as_root_command="bash $here/install-deps.sh${*:+ $*}"

enabled_at_boot() {
  compgen -G "/etc/systemd/system/*.wants/$1.*" >/dev/null || compgen -G "/etc/rc[2-5].d/S*$1" >/dev/null
}

# Package scripts enable a service for systemd (a link in a *.wants folder,
# made even where systemd is not installed) and for SysV init (S links in
# /etc/rc[2-5].d); both are taken back.
disable_at_boot() {
  local link
  for link in /etc/systemd/system/*.wants/"$1".*; do
    [[ -L $link ]] || continue
    if command -v systemctl >/dev/null; then
      "${as_root[@]}" systemctl disable --quiet "${link##*/}"
    else
      # What systemctl disable does; a later upgrade of the package sees the
      # link gone and leaves the service disabled.
      "${as_root[@]}" rm -f "$link"
    fi
  done
  if compgen -G "/etc/rc[2-5].d/S*$1" >/dev/null; then
    "${as_root[@]}" update-rc.d "$1" disable >/dev/null
  fi
}

keep_servers_from_boot() {
  local server
  for server in "${servers[@]}"; do
    enabled_at_boot "$server" || continue
    if ! can_be_root; then
      echo "install-deps: $server is set to start at boot; to stop that, run \"$as_root_command\" as root." >&2
      continue
    fi
    echo "install-deps: $server was set to start at boot; turning that off"
    disable_at_boot "$server"
  done
}

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#wanted[@]} packages present"
  keep_servers_from_boot
  exit 0
fi

if ! can_be_root; then
  echo "install-deps: missing: ${missing[*]}" >&2
  echo "install-deps: installing packages needs root, and sudo is not here: run \"$as_root_command\" as root, then this command again." >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
# Services pulled in by packages (dovecot) must not start on their own.
policy=/usr/sbin/policy-rc.d
created_policy=0
remove_policy() {
  if ((created_policy)); then "${as_root[@]}" rm -f "$policy"; fi
}
trap remove_policy EXIT
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod +x "$policy"
  created_policy=1
fi
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
keep_servers_from_boot
