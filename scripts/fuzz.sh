#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; build tree build-fuzz/) and runs each from its
# committed seed corpus for FUZZ_SECONDS seconds (default 60). Any crash,
# sanitizer report, leak or time-out fails the script; the input that found
# it is left in build-fuzz/findings/.
# Usage: scripts/fuzz.sh [target...]   (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_reply fuzz_listing fuzz_pasv fuzz_dir fuzz_dotted fuzz_variant fuzz_stun fuzz_mlsd)
fi

cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]}"

mkdir -p build-fuzz/findings
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/${target#fuzz_}
  # New inputs go to a scratch corpus, so the committed seeds stay as they are.
  work=build-fuzz/corpus/${target}
  mkdir -p "$work"
  log=build-fuzz/${target}.log
  if build-fuzz/bin/"$target" "$work" "$seeds" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix=build-fuzz/findings/"$target"- >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-?} runs in ${seconds} s, no findings"
  else
    echo "$target: FINDING (see $log)" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit $status
