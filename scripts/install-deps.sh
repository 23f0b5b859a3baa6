#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
# Idempotent: only what is missing is installed, after one apt-get update.
# The lists live in scripts/packages/*.txt, one package per line.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

mapfile -t wanted < <(cat "$here"/packages/*.txt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
# Services pulled in by packages (dovecot) must not start on their own.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
  $sudo chmod +x $policy
  created_policy=1
fi
trap '[[ $created_policy == 1 ]] && $sudo rm -f $policy' EXIT
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
