#!/usr/bin/env bash
# Runs the host identity scenarios under Wine, one process each: what the
# library sets up at load (services, OLE, the framework class) happens once
# per process, and two scenarios must end the process.
#
# The folders are staged by the CMake target vozi_win32_identity_tests
# (tests/win32/host/CMakeLists.txt): with-framework, no-framework and
# broken-framework, each holding the test host identity_host.exe beside the
# libraries.
#
# Message boxes: the library shows one ("Kymo failed to load <path>") before
# it ends the process when Bex.dll or its DllGetClassObject is missing. With
# no display (DISPLAY and WAYLAND_DISPLAY unset) Wine has no window driver,
# and MessageBoxExW returns at once instead of waiting for a click, so the
# run stays headless. Those two scenarios run with Wine's relay trace, whose
# "Call user32.MessageBoxExW(...)" line shows the arguments the box got;
# the script checks text, caption, type and language there.
#
# Usage: tests/win32/host/run.sh [--build] [STAGE_DIR]
#   --build    configure the win32 preset and build the staged folders first (-j2)
#   STAGE_DIR  default build/win32/tests/win32/host
# Called by scripts/wine-test with the same Wine environment; runs on its own
# as well. Exits non-zero when any scenario fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/../../.." && pwd)
build="$root/build/win32"
stage=""
do_build=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) do_build=1 ;;
    *) stage="$1" ;;
  esac
  shift
done
stage="${stage:-$build/tests/win32/host}"

command -v wine >/dev/null || { echo "identity: wine is not installed (scripts/bootstrap)" >&2; exit 2; }

if [ "$do_build" = 1 ]; then
  cmake --preset win32 >/dev/null
  cmake --build "$build" -j2 --target vozi_win32_identity_tests
fi
[ -f "$stage/with-framework/identity_host.exe" ] ||
  { echo "identity: $stage not staged (build the target vozi_win32_identity_tests, or use --build)" >&2; exit 2; }

export WINEARCH=win32
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree=d;mshtml=d}"
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "identity: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  WINEDEBUG=-all wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# Must match VOZI_PRERELEASE_FILE_VERSION in CMakeLists.txt, behind the
# description "Vozi".
prerelease_text="Vozi 1.1.3 beta"
failed=0
log=$(mktemp "${TMPDIR:-/tmp}/vozi-identity.XXXXXX")
trap 'rm -f "$log"' EXIT

# run FOLDER ARGS...: the test host's exit code.
run() {
  local folder="$1"
  shift
  local status=0
  (cd "$stage/$folder" && WINEDEBUG=-all timeout 120 wine ./identity_host.exe "$@") || status=$?
  return $status
}

expect_pass() {
  local status=0
  run "$@" || status=$?
  if [ "$status" != 0 ]; then
    echo "identity: FAILED ($status): $*"
    failed=1
  fi
}

# The library must show one box naming Bex.dll in FOLDER, then end the
# process with exit code -1 (255 as Wine reports it).
expect_framework_missing() {
  local folder="$1"
  shift
  local status=0
  (cd "$stage/$folder" &&
    WINEDEBUG=-all,+relay timeout 300 wine ./identity_host.exe framework-missing "$@") 2>"$log" || status=$?
  # Wine's relay trace shows each backslash of a string doubled.
  local path
  path=$(printf 'Z:%s/Bex.dll' "$stage/$folder" | sed 's|/|\\\\|g')
  local box="user32.MessageBoxExW(00000000,[0-9a-f]* L\"Kymo failed to load ${path//\\/\\\\}\",[0-9a-f]* L\"Kymo load failed\",00000000,00000000)"
  local boxes
  boxes=$(grep -ac 'Call user32\.MessageBoxExW(' "$log" || true)
  echo "identity_host framework-missing $* (in $folder): exit code $status, $boxes message box(es)"
  grep -a 'Call user32\.MessageBoxExW(' "$log" | sed 's/^/       /' || true
  if [ "$status" != 255 ]; then
    echo "identity: FAILED: expected exit code 255 (-1), got $status"
    failed=1
  fi
  if [ "$boxes" != 1 ] || ! grep -aq "Call $box" "$log"; then
    echo "identity: FAILED: expected exactly one box: $box"
    failed=1
  fi
}

expect_pass with-framework registered Vozi.kycdll -
expect_pass with-framework registered VoziPreRelease.kycdll "$prerelease_text"
expect_pass with-framework registered VoziPreRelease.kycdll - decline
expect_pass with-framework framework VoziPreRelease.kycdll "$prerelease_text"
expect_pass with-framework framework Vozi.kycdll -
expect_pass with-framework framework VoziPreRelease.kycdll "$prerelease_text" keep
expect_pass no-framework ole-initialised VoziPreRelease.kycdll
expect_framework_missing no-framework VoziPreRelease.kycdll
expect_framework_missing broken-framework Vozi.kycdll

if [ "$failed" = 0 ]; then echo "identity: all scenarios passed"; fi
exit $failed
