#!/usr/bin/env bash
# Runs the C example host against a simulated instrument: it must end with
# status 0 and print the sample lines it was asked for, each with one scaled
# value (0..32767) for every channel of the simulator's default instrument,
# the first samples of the stream in order: the last channel counts 0, 1, 2...
# over a 0..32767 range, so its scaled value is the sample's number.
#   examples/run_minimal_host.sh [BUILD_DIR]      (default build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
lines=20
channels=5  # vozi-sim's default instrument: time plus five channels

root=$(mktemp -d)
out=$(mktemp)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$root" "$out"
}
trap cleanup EXIT

# The simulator prints its pseudo-terminal, then its tty name once the port
# is in the device tree, where the library finds it through VOZI_DEVICE_ROOT.
coproc SIM { exec "$build/tools/vozi-sim/vozi-sim" --device-root "$root"; }
sim_pid=$SIM_PID
if ! read -r -t 10 _ <&"${SIM[0]}" || ! read -r -t 10 _ <&"${SIM[0]}"; then
  echo "run_minimal_host: vozi-sim did not present its port" >&2
  exit 1
fi

status=0
VOZI_DEVICE_ROOT=$root "$build/examples/minimal_host" "$build/libvozi.so" "$lines" >"$out" || status=$?
cat "$out"
samples=$(grep -cE "^@ [0-9]{1,5}(,[0-9]{1,5}){$((channels - 1))}\$" "$out" || true)
in_order=$(awk -F, '/^@ / { if ($NF != n++) bad = 1 } END { print (bad || n == 0) ? "no" : "yes" }' "$out")
if [ "$status" -ne 0 ] || [ "$samples" -ne "$lines" ] || [ "$in_order" != yes ]; then
  echo "run_minimal_host: exit status $status, $samples of $lines sample lines, in order: $in_order" >&2
  exit 1
fi
echo "run_minimal_host: $samples sample lines"
