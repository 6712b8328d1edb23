#!/usr/bin/env bash
# Whole-process batch runs of each method next to the I/O floor (a one-thread program that only loads
# and saves the same images), and the peak memory of a long batch.
#
# Usage: bench/whole_process.sh [build dir] [model file]
#   RUNS=5     timed runs of each program, alternating (floor, then each method in turn), median kept
#   IMAGES=20  images in the timed batch: tiles of the H&E samples, sizes cycling through SIZES
#   SIZES="1024 1536 2048 768 2560"
#   MEMORY_IMAGES=100  images in the peak-memory batch (0: skip it)
#   ONE_THREAD=1       also time each method with --threads 1
# Prints, per method and thread setting, the median seconds and the ratio to the floor's median;
# then the peak memory (maximum resident set size) of the long batch against the bound
# "fixed overhead + (threads + 1) x the memory one image of the largest size takes".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
model=${2:-data/models/he.model}
runs=${RUNS:-5}
images=${IMAGES:-20}
read -r -a sizes <<< "${SIZES:-1024 1536 2048 768 2560}"
memoryImages=${MEMORY_IMAGES:-100}
oneThread=${ONE_THREAD:-1}
exe="$build/src/app/histonorm"
floor="$build/bench/norm/io_floor"
tiles="$build/bench/norm/make_tiles"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
samples=(he_sample_1.png he_sample_2.png he_sample_3.png)

# make_batch DIR COUNT: COUNT tiles of the samples in DIR, sizes cycling, with list.txt.
make_batch() {
  local dir=$1 count=$2 i
  mkdir -p "$dir/normalised" "$dir/tmp"
  : > "$dir/list.txt"
  for ((i = 0; i < count; ++i)); do
    local sample=${samples[i % ${#samples[@]}]} size=${sizes[i % ${#sizes[@]}]}
    "$tiles" "$dir/tmp" "$size" "$sample"
    mv "$dir/tmp/$sample" "$dir/img_$i.png"
    echo "img_$i.png" >> "$dir/list.txt"
  done
  rmdir "$dir/tmp"
}

# seconds CMD...: wall-clock seconds of one run (its console output dropped; a failure stops the script).
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" > /dev/null 2>&1
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

median() { tr -s ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The programs timed: a name and the command line.
names=("io floor")
commands=("$floor $work/batch/list.txt")
methods=(Reinhard RGBHistSpec RGBHistSpecThresh)
[ -f "$model" ] && methods+=(BimodalDeconvRVM)
for method in "${methods[@]}"; do
  extra=""
  [ "$method" = BimodalDeconvRVM ] && extra=" $model"
  names+=("$method all cores")
  commands+=("$exe $method $work/batch/list.txt $work/ref.png$extra")
  if [ "$oneThread" = 1 ]; then
    names+=("$method 1 thread")
    commands+=("$exe $method $work/batch/list.txt $work/ref.png$extra --threads 1")
  fi
done

make_batch "$work/batch" "$images"
"$tiles" "$work" 1024 he_sample_2.png && mv "$work/he_sample_2.png" "$work/ref.png"
pixels=$(for ((i = 0; i < images; ++i)); do s=${sizes[i % ${#sizes[@]}]}; echo $((s * s)); done | awk '{ t += $1 } END { print t }')
echo "machine: $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "batch: $images images, $(awk -v p="$pixels" 'BEGIN { printf "%.1f", p / 1e6 }') megapixels, sizes ${sizes[*]}; $runs runs each, alternating"

declare -a times
for ((run = 0; run < runs; ++run)); do
  for i in "${!commands[@]}"; do
    # shellcheck disable=SC2086
    times[i]="${times[i]:-} $(seconds ${commands[i]})"
  done
done
floorMedian=$(echo "${times[0]}" | median)
for i in "${!commands[@]}"; do
  m=$(echo "${times[i]}" | median)
  awk -v n="${names[i]}" -v m="$m" -v f="$floorMedian" -v p="$pixels" \
    'BEGIN { printf "%-30s %7.2f s  %6.2f x floor  %7.1f MP/s\n", n, m, m / f, p / 1e6 / m }'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

[ "$memoryImages" -gt 0 ] || exit 0
# peak_kib CMD...: maximum resident set size of one run, in KiB.
peak_kib() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'; }
make_batch "$work/long" "$memoryImages"
largest=$(printf '%s\n' "${sizes[@]}" | sort -g | tail -1)
threads=$(nproc)
mkdir -p "$work/one/normalised" "$work/small/normalised"
"$tiles" "$work/one" "$largest" he_sample_3.png && echo he_sample_3.png > "$work/one/list.txt"
"$tiles" "$work/small" 64 he_sample_3.png && echo he_sample_3.png > "$work/small/one.txt"
for ((i = 0; i < threads; ++i)); do echo he_sample_3.png; done > "$work/small/list.txt"
echo "peak memory, $memoryImages images (largest ${largest} x ${largest}), $threads threads:"
for method in "${methods[@]}"; do
  extra=()
  [ "$method" = BimodalDeconvRVM ] && extra=("$model")
  # The fixed overhead: every worker started, on tiny images. One image's share: the largest
  # image on one thread, less a tiny image on one thread.
  overhead=$(peak_kib "$exe" "$method" "$work/small/list.txt" "$work/ref.png" "${extra[@]}")
  tiny=$(peak_kib "$exe" "$method" "$work/small/one.txt" "$work/ref.png" "${extra[@]}" --threads 1)
  one=$(peak_kib "$exe" "$method" "$work/one/list.txt" "$work/ref.png" "${extra[@]}" --threads 1)
  long=$(peak_kib "$exe" "$method" "$work/long/list.txt" "$work/ref.png" "${extra[@]}")
  awk -v n="$method" -v o="$overhead" -v tiny="$tiny" -v one="$one" -v l="$long" -v t="$threads" \
    'BEGIN { b = o + (t + 1) * (one - tiny);
             printf "%-20s %7.0f MiB; bound %7.0f MiB = overhead %5.0f + %d x %5.0f per image (%s)\n",
                    n, l / 1024, b / 1024, o / 1024, t + 1, (one - tiny) / 1024, l <= b ? "within" : "OVER" }'
done
