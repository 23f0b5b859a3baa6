#!/usr/bin/env bash
# Installs the Debian packages that one use of the tree needs, and keeps a
# server that it installs from starting at boot.
#   scripts/install-deps.sh [USE...]
#     run          build and run the wizard
#     target       run, and the stand-in target (Python, openssl)
#     demo         target, and the demo's source server (Dovecot)
#     test         run, and the tests' peers (Dovecot, Python, openssl, ...)
#                  and the zone data and Unicode case-folding data the
#                  zone and case-folding tables were made from
#     fuzz         run, and clang with its sanitizer runtime (the libFuzzer
#                  targets, the clang build)
#     bench        test, and mbsync for the migration benchmark
#     screenshots  test, and Xvfb
#   With no USE, every list.
# Idempotent: only what is missing (or older than a list asks) is installed,
# after one apt-get update.
# The lists live in scripts/packages/*.txt, one package per line; "name>=V"
# asks for version V or later, and brings an older installed one up to it.
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
# Each package once, with the newest of the versions its lists ask for.
names=()
declare -A minimum=()
while read -r entry; do
  name=${entry%%>=*}
  if [[ $entry == *'>='* ]]; then
    version=${entry#*>=}
    if [[ -z ${minimum[$name]:-} ]] || dpkg --compare-versions "$version" gt "${minimum[$name]}"; then
      minimum[$name]=$version
    fi
  fi
  [[ " ${names[*]} " == *" $name "* ]] || names+=("$name")
done < <(cat "${files[@]}" | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)

# Servers the lists bring in, as package:service. The tests and the demo
# start instances of their own, so a server that this script installs is
# kept from starting at boot; one that was there before is the machine's
# own and is left exactly as it is, boot start included.
servers=(dovecot-core:dovecot)

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null && as_root=(sudo)
fi
can_be_root() { [[ $(id -u) -eq 0 || ${#as_root[@]} -gt 0 ]]; }
# What to tell a user who is neither root nor has sudo.
as_root_command="bash $here/install-deps.sh${*:+ $*}"

installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]
}
installed_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true; }
recent_enough() {
  [[ -z ${minimum[$1]:-} ]] || dpkg --compare-versions "$(installed_version "$1")" ge "${minimum[$1]}"
}

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

missing=()
older=()
for package in "${names[@]}"; do
  if ! installed "$package"; then
    missing+=("$package")
  elif ! recent_enough "$package"; then
    older+=("$package")
  fi
done

# Names the packages still older than their lists ask for: everything builds
# and runs, and the tests that compare with them skip, saying so.
tell_older() {
  local package
  for package in "${names[@]}"; do
    recent_enough "$package" && continue
    echo "install-deps: $package $(installed_version "$package") is older than the ${minimum[$package]} a list asks for; the tests that need it skip, saying so ($1)." >&2
  done
}

if ((${#missing[@]} + ${#older[@]} == 0)); then
  echo "install-deps: all ${#names[@]} packages present"
  exit 0
fi

if ! can_be_root; then
  if ((${#missing[@]} == 0)); then
    tell_older "run \"$as_root_command\" as root to bring it up"
    exit 0
  fi
  echo "install-deps: missing: ${missing[*]}" >&2
  echo "install-deps: installing packages needs root, and sudo is not here: run \"$as_root_command\" as root, then this command again." >&2
  exit 1
fi

# Servers not installed before this run.
new_servers=()
for server in "${servers[@]}"; do
  installed "${server%%:*}" || new_servers+=("$server")
done

((${#missing[@]} == 0)) || echo "install-deps: installing ${missing[*]}"
for package in "${older[@]}"; do
  echo "install-deps: upgrading $package $(installed_version "$package") to ${minimum[$package]} or later"
done
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
# Services pulled in by packages (dovecot) must not start on their own, and
# a server of the machine's own is not restarted by a package added to it.
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
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}" "${older[@]}"

for server in "${new_servers[@]}"; do
  if ! installed "${server%%:*}" || ! enabled_at_boot "${server#*:}"; then continue; fi
  echo "install-deps: ${server#*:}, installed now, was set to start at boot by its package; turning that off"
  disable_at_boot "${server#*:}"
done
tell_older "apt's sources offer nothing newer"
