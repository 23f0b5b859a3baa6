#!/usr/bin/env bash
# Runs the wizard in a real window under Xvfb through every page and saves
# one picture per page in build/screenshots. With the whole engine built it
# is the end-to-end run against Dovecot and the stand-in target (needs root
# for Dovecot); otherwise the walk over the scripted engine.
#   scripts/screenshots.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh" >/dev/null
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
out="$root/build/screenshots"
rm -rf "$out"
if cmake --build "$root/build" --target gui_EndToEnd_itest >/dev/null 2>&1; then
  test=gui_EndToEnd_itest
else
  cmake --build "$root/build" --target gui_WizardWalk_test
  test=gui_WizardWalk_test
fi
TAVIR_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/bin/$test"
ls "$out"
