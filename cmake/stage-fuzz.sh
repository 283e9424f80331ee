#!/bin/sh
# Fuzz stage: builds the libFuzzer targets with clang-14 and
# -fsanitize=fuzzer,address,undefined into build-fuzz, writes the seed corpus,
# then runs each target for a bounded number of inputs. Any crash, leak, sanitizer report,
# timeout or out-of-memory fails the stage; the reproducer is left in
# build-fuzz/artifacts/.
#   usage: cmake/stage-fuzz.sh [runs per target]   (default 2500)
# The runs are counted and the seed is fixed, so a given build explores the
# same inputs every time and CI does not fail by chance; a longer, freely
# seeded session is FUZZ_SEED=0 FUZZ_SECONDS=600 cmake/stage-fuzz.sh -1.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-2500}
seed=${FUZZ_SEED:-1}
seconds=${FUZZ_SECONDS:-300}
out=build-fuzz
san="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fsanitize-recover=shift-base -fno-omit-frame-pointer"

cmake -S tests/fuzz -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
# Only the targets: the shared module cannot link against clang's sanitizer
# runtimes with --no-undefined, and the fuzzers do not need it.
cmake --build "$out" -j"${JOBS:-2}" --target fuzz_image_bytes fuzz_params fuzz_jpeg_writer fuzz_png_writer fuzz_jpeg_decoder fuzz_png_decoder make_fuzz_seeds

# Allocations above 256 MB fail as on a small machine: that sends the fuzzer
# down the out-of-memory paths, and keeps a few-byte file that legitimately
# declares hundreds of megapixels (a GIF with a tiny frame on a huge screen)
# from taking tens of seconds. The cap is high enough that a file declaring
# far more picture than it holds (which the loader refuses up front) would
# get to decode and show up as a timeout.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=256"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/cmake/ubsan.supp"
mkdir -p "$out/seeds/image_bytes" "$out/seeds/params" "$out/seeds/jpeg_writer" "$out/seeds/png_writer" \
         "$out/seeds/jpeg_decoder" "$out/corpus/jpeg_decoder" \
         "$out/corpus/image_bytes" "$out/corpus/params" "$out/corpus/jpeg_writer" "$out/corpus/png_writer" \
         "$out/corpus/png_decoder" "$out/artifacts"
"$out/make_fuzz_seeds" "$out/seeds/image_bytes" "$out/seeds/params"
# The JPEG writer's input is mode, size and pixel bytes: a 17 x 9 picture, and
# a 1,027 x 2 row with a colour profile.
printf '\000\020\010\377\000\200\022\064\126\170\232\274\336\360' >"$out/seeds/jpeg_writer/small"
printf '\037\002\004\001\002\003\004\005\006\007' >"$out/seeds/jpeg_writer/long_row"
# The PNG writer's seeds: raw bytes, a small picture, a long row, a profile.
printf '\000\000\000aaaaabbbbbaaaaabbbbbabababab' >"$out/seeds/png_writer/raw"
printf '\003\037\027photo-like bytes 0123456789' >"$out/seeds/png_writer/small"
printf '\101\377\040xyz' >"$out/seeds/png_writer/long_row"
printf '\202\010\010profile-bytes' >"$out/seeds/png_writer/profile"
# The JPEG decoder's seeds: the seed maker's JPEGs, and where cjpeg is at
# hand a tiny picture in the layouts it takes (progressive, restarts, 4:2:0,
# one scan per component).
cp "$out"/seeds/image_bytes/*.jpg "$out/seeds/jpeg_decoder/"
if command -v cjpeg >/dev/null 2>&1; then
  { printf 'P6\n11 9\n255\n'; LC_ALL=C awk 'BEGIN { for (i = 0; i < 297; i++) printf "%c", (i * 37) % 250 + 1 }'; } \
    >"$out/seeds/tiny.ppm"
  cjpeg -progressive -outfile "$out/seeds/jpeg_decoder/prog.jpg" "$out/seeds/tiny.ppm"
  cjpeg -restart 1B -sample 2x2 -outfile "$out/seeds/jpeg_decoder/rst420.jpg" "$out/seeds/tiny.ppm"
  cjpeg -grayscale -progressive -restart 2B -outfile "$out/seeds/jpeg_decoder/grey.jpg" "$out/seeds/tiny.ppm"
  printf '2;\n0;\n1;\n' >"$out/seeds/scans.txt"
  cjpeg -scans "$out/seeds/scans.txt" -sample 2x1 -outfile "$out/seeds/jpeg_decoder/scans.jpg" "$out/seeds/tiny.ppm"
fi
extra=""
suite="$root/../shared/corpus/pngsuite/png"
[ -d "$suite" ] && extra="$suite"

status=0
for target in image_bytes params jpeg_writer png_writer jpeg_decoder png_decoder; do
  seeds="$out/seeds/$target"
  [ "$target" = image_bytes ] && seeds="$seeds $extra"
  # The PNG decoder starts from the small PNGs of the image seeds and the PngSuite.
  [ "$target" = png_decoder ] && seeds="$out/seeds/image_bytes $extra"
  echo "== fuzz_$target: $runs runs, seed $seed (at most ${seconds}s)"
  # The first corpus directory collects what the run finds; the seeds and
  # the PngSuite are only read.
  # shellcheck disable=SC2086
  if ! "$out/fuzz_$target" -runs="$runs" -seed="$seed" -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=10 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
        "$out/corpus/$target" $seeds 2>"$out/fuzz_$target.log"; then
    status=1
    echo "fuzz_$target FAILED; see $out/fuzz_$target.log and $out/artifacts/"
    grep -E 'ERROR|SUMMARY|Base64|Test unit' "$out/fuzz_$target.log" | head -8
  fi
  grep -E '^#[0-9]+.*(DONE|pulse)|stat::|SUMMARY|ERROR' "$out/fuzz_$target.log" | tail -12
done
exit $status
