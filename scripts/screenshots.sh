#!/usr/bin/env bash
# Runs the wizard in a real window under Xvfb through every page of the
# end-to-end run (a real migration from Dovecot into the stand-in target,
# tests/Imap/gui/EndToEnd_itest.cpp) and saves one picture per page in
# build/screenshots. Dovecot runs as the tests run it: as root.
#   scripts/screenshots.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ $(id -u) -ne 0 ]]; then
  echo "screenshots: the end-to-end run starts Dovecot as root; run this as root" >&2
  exit 1
fi
"$root/scripts/install-deps.sh" screenshots >/dev/null
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target gui_EndToEnd_itest gui_OptionPage_test gui_ProgressPage_test \
  gui_SameCounts_test
out="$root/build/screenshots"
rm -rf "$out"
TAVIR_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/bin/gui_EndToEnd_itest"
# The accounts page's test as the scripted engine plays it: an account in
# test, refused logins, a source that can't be tested, and a login the
# source could not take now.
TAVIR_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/bin/gui_OptionPage_test" \
  --gtest_filter='*TheAccountInTestSaysSoFromTheFirstOn:*ASourceThatCanNotBeTested*'
# The progress page's test: a stopped run whose target is being put back.
TAVIR_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/bin/gui_ProgressPage_test" \
  --gtest_filter='*StopThenAbortedRunWaitsForNext'
# The progress and result pages for every way a run ends, over the scripted
# engine: finished, with failures, a second run, a login refused and the
# source at its limit, a source that can't be tested, stopped (with
# accounts made ahead), stopped during the logins' test or the target's
# preparation, never started.
TAVIR_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1024x768x24" "$root/build/bin/gui_SameCounts_test"
ls "$out"
