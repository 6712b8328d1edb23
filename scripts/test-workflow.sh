#!/usr/bin/env bash
# Runs the sharded workflow (workflow/Snakefile, 3 shards and a job for the slide) on copies of the
# sample images and a shipped slide, and checks that its results are byte-identical to one histonorm
# process over the same list and target; that a setting holding shell syntax is refused, never run; and
# that results are never put in the image folder.
#   bash scripts/test-workflow.sh [HISTONORM [SNAKEMAKE_ARGS...]]
# HISTONORM defaults to build/release/src/app/histonorm; SNAKEMAKE_ARGS to "--cores 2" (a local run);
# scripts/test-slurm.sh passes "--profile workflow/profiles/slurm". histonorm-slide is taken from
# HISTONORM_SLIDE, by default from the build tree HISTONORM is in.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
histonorm=$(realpath -- "${1:-$repo/build/release/src/app/histonorm}")
shift || true
snakemake_args=("$@")
[ ${#snakemake_args[@]} -gt 0 ] || snakemake_args=(--cores 2)
[ -x "$histonorm" ] || { echo "histonorm executable not found: $histonorm" >&2; exit 1; }
histonorm_slide=$(realpath -m -- "${HISTONORM_SLIDE:-$(dirname "$histonorm")/../../tools/slide/histonorm-slide}")
[ -x "$histonorm_slide" ] || { echo "histonorm-slide executable not found: $histonorm_slide" >&2; exit 1; }
command -v snakemake >/dev/null || { echo "snakemake not found: run scripts/install-deps.sh" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/histonorm-workflow.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Six H&E images, two in sub-folders, listed out of name order so that shards keep list order, and
# a shipped slide in a sub-folder (its result: more/cmu.tif).
images=$scratch/images
mkdir -p "$images/more/deeper"
samples=$repo/data/samples
cp "$samples/he_sample_1.png" "$samples/he_sample_2.png" "$samples/he_sample_3.png" "$images/"
cp "$samples/he_sample_1.png" "$images/more/he_1.png"
cp "$samples/he_sample_3.png" "$images/more/deeper/he_3.png"
cp "$samples/he_sample_2.png" "$images/he_2_copy.png"
cp "$repo/data/wsi/cmu_small_region.svs" "$images/more/cmu.svs"
printf '%s\n' he_sample_3.png more/he_1.png he_sample_1.png more/cmu.svs more/deeper/he_3.png he_2_copy.png \
  he_sample_2.png > "$images/list.txt"

seconds() { date +%s.%N; }

# run_case NAME METHOD TARGET MODEL: TARGET and MODEL may be empty (mean of the list; no model).
run_case() {
  local name=$1 method=$2 target=$3 model=$4
  local dir=$scratch/$name
  mkdir -p "$dir/single"
  cp -r "$images" "$dir/single/images"
  mkdir -p "$dir/single/images/normalised/more/deeper"  # a plain run does not create sub-folders
  local args=("$method" "$dir/single/images/list.txt")
  [ -z "$target" ] || args+=("$target")
  [ -z "$model" ] || args+=("$model")
  local t0 t1 t2
  t0=$(seconds)
  if ! "$histonorm" "${args[@]}" >"$dir/single.log" 2>&1; then
    echo "FAIL $name: one-process run failed:" >&2; tail -n 20 "$dir/single.log" >&2; return 1
  fi
  t1=$(seconds)
  if ! snakemake -s "$repo/workflow/Snakefile" --directory "$dir/sharded" "${snakemake_args[@]}" \
      --config histonorm="$histonorm" histonorm_slide="$histonorm_slide" list="$images/list.txt" method="$method" target="$target" \
               model="$model" shards=3 out=results >"$dir/sharded.log" 2>&1; then
    echo "FAIL $name: workflow failed:" >&2; tail -n 40 "$dir/sharded.log" >&2
    find "$dir/sharded/.snakemake/slurm_logs" -name '*.log' -exec tail -n 20 {} + >&2 2>/dev/null || true
    return 1
  fi
  t2=$(seconds)
  if ! diff -r "$dir/single/images/normalised" "$dir/sharded/results" >&2; then
    echo "FAIL $name: sharded results differ from the one-process run" >&2; return 1
  fi
  awk -v n="$name" -v a="$t0" -v b="$t1" -v c="$t2" \
    'BEGIN { printf "ok   %-32s one process %5.1f s, workflow %5.1f s\n", n, b - a, c - b }'
}

# A setting holding a quote and a command substitution is never run as a command: the workflow refuses it
# before any job starts, with the setting's name.
quoted_setting_case() {
  local dir=$scratch/quoted-setting
  mkdir -p "$dir"
  local work="work'\$(touch $dir/ran)'"
  if snakemake -s "$repo/workflow/Snakefile" --directory "$dir" "${snakemake_args[@]}" \
      --config histonorm="$histonorm" histonorm_slide="$histonorm_slide" list="$images/list.txt" method=Reinhard \
               target="$images/he_sample_2.png" out=results "work=$work" >"$dir/log" 2>&1; then
    echo "FAIL quoted-setting: the workflow ran" >&2; return 1
  fi
  if [ -e "$dir/ran" ] || ! grep -q "config: the setting 'work' holds" "$dir/log"; then
    echo "FAIL quoted-setting: a setting was run as a command, or was not refused by name:" >&2
    tail -n 20 "$dir/log" >&2; return 1
  fi
  echo "ok   quoted-setting"
}

# Two bad entries (a missing file, a file that is no image) cost those two images alone: every other
# result is written, and the run ends failed, naming what has no result.
bad_entries_case() {
  local dir=$scratch/bad-entries
  mkdir -p "$dir"
  cp -r "$images" "$dir/images"
  echo "not an image" >"$dir/images/broken.png"
  printf '%s\n' missing.png broken.png >>"$dir/images/list.txt"
  if snakemake -s "$repo/workflow/Snakefile" --directory "$dir/sharded" "${snakemake_args[@]}" \
      --config histonorm="$histonorm" histonorm_slide="$histonorm_slide" list="$dir/images/list.txt" method=Reinhard \
               target="$images/he_sample_2.png" shards=3 out=results >"$dir/log" 2>&1; then
    echo "FAIL bad-entries: the workflow reported success" >&2; return 1
  fi
  local written
  written=$(cd "$dir/sharded/results" 2>/dev/null && find . -type f | wc -l)
  if [ "$written" -ne 7 ] || ! grep -q "2 of 9 images and slides have no result" "$dir/log"; then
    echo "FAIL bad-entries: $written of 7 results written, or the missing ones not named:" >&2
    tail -n 30 "$dir/log" >&2; return 1
  fi
  echo "ok   bad-entries"
}

# Results in the image folder (the folder itself, also through a link, or a sub-folder) are refused
# before any job starts, naming the setting; no image is touched.
out_in_images_case() {
  local dir=$scratch/out-in-images
  mkdir -p "$dir"
  cp -r "$images" "$dir/images"
  ln -s "$dir/images" "$dir/link"
  local before
  before=$(cd "$dir/images" && find . -type f -exec md5sum {} + | sort)
  for out in "$dir/images" "$dir/link" "$dir/images/more"; do
    if snakemake -s "$repo/workflow/Snakefile" --directory "$dir/work" "${snakemake_args[@]}" \
        --config histonorm="$histonorm" histonorm_slide="$histonorm_slide" list="$dir/images/list.txt" \
                 method=Reinhard target="$images/he_sample_2.png" out="$out" >"$dir/log" 2>&1 ||
        ! grep -q "config: 'out' (.*) is the image folder" "$dir/log" || [ -e "$dir/work/histonorm-work" ]; then
      echo "FAIL out-in-images: out=$out was not refused before any job:" >&2; tail -n 20 "$dir/log" >&2; return 1
    fi
  done
  if [ "$(cd "$dir/images" && find . -type f -exec md5sum {} + | sort)" != "$before" ]; then
    echo "FAIL out-in-images: the images changed" >&2; return 1
  fi
  echo "ok   out-in-images"
}

status=0
out_in_images_case || status=1
quoted_setting_case || status=1
bad_entries_case || status=1
run_case reinhard-target-image Reinhard "$images/he_sample_2.png" "" || status=1
run_case stain-mean-of-list BimodalDeconvRVM "" "$repo/data/models/he.model" || status=1
exit $status
