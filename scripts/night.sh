#!/usr/bin/env bash
# A night's simulation: the given number of simulated hours, in seeds of
# 10 hours, spread over every core. Prints one line per breach (its seed,
# what broke, and the command that replays it) and a total with the events
# drawn an hour; exits 1 when anything breached (a world gone quiet too).
#
#   scripts/night.sh HOURS [FIRST_SEED]     e.g. scripts/night.sh 100000 1001
set -euo pipefail

hours=${1:?usage: scripts/night.sh HOURS [FIRST_SEED]}
first=${2:-1001}
root=$(cd "$(dirname "$0")/.." && pwd)
sim=${SIM:-$root/build/native/sim}
[ -x "$sim" ] || { echo "no simulator at $sim: build the native preset first" >&2; exit 2; }

per_seed=10
seeds=$(( (hours + per_seed - 1) / per_seed ))
cores=$(nproc)
share=$(( (seeds + cores - 1) / cores ))
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

start=$(date +%s)
pids=()
for ((i = 0; i < cores; i++)); do
    a=$(( first + i * share ))
    b=$(( a + share - 1 ))
    last=$(( first + seeds - 1 ))
    (( b > last )) && b=$last
    (( a > b )) && break
    nice -n 19 "$sim" --seeds "$a..$b" --hours "$per_seed" >"$out/$i.log" 2>&1 &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

breaches=0
for log in "$out"/*.log; do
    while IFS= read -r line; do
        seed=${line#seed }
        seed=${seed%%,*}
        echo "$line  (replay: $sim --seeds $seed --hours $per_seed --trace)"
        breaches=$((breaches + 1))
    done < <(grep -E '^seed [0-9]+, step' "$log" || true)
done
# Each process's last line counts the events its world drew.
events=$(cat "$out"/*.log | sed -n 's/.* simulated hours, \([0-9]*\) events .*/\1/p' | awk '{ n += $1 } END { print n + 0 }')
echo "$breaches breaches in $((seeds * per_seed)) simulated hours, $events events ($(( events / (seeds * per_seed) )) an hour) (seeds $first..$((first + seeds - 1)), $cores cores, $(( $(date +%s) - start )) s)"
[ "$breaches" -eq 0 ]
