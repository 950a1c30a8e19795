#!/usr/bin/env bash
# Robustness check of the three modules; run through `scripts/run.sh check` (inside the Python 3.14
# environment). Each build has its own folder, so the check never touches build/ or a dev build:
#
#   build-asan   AddressSanitizer + UndefinedBehaviorSanitizer (UB is fatal): kernel tests, the
#                fuzz tests at a larger example count, and a leak check of every kernel function
#   build-tsan   ThreadSanitizer: kernel tests and fuzz tests
#   build-clang  clang, -Wall -Wextra -Werror, and the portable math path (no glibc sincos):
#                kernel tests and fuzz tests, which compare bit for bit with references
#
# The sanitizer runs cover the kernel tests (tests/test_tarnwell.py, test_ensemble.py,
# test_refraction.py, test_frame.py), tests/test_hardening.py, tests/test_fuzz.py and the package's
# own tests (test_package.py, test_fuzz_package.py: kernels called from dask's threads). The archive,
# distributed and storm tests are left out: they start worker processes and interpreters that would
# inherit the preloaded runtime, and reach the kernels only through the calls tested here.
# tests/test_parcel.py (the parcel kernel and its package function) runs with the kernel tests, and
# so do the sweep kernels' own tests in tests/test_volume.py.
#
#   TARNWELL_FUZZ_EXAMPLES   examples per fuzz test here (default 300; the normal suite uses 15)
#   TARNWELL_CHECK           which parts to run (default "asan tsan clang")
#   arguments                pytest arguments in place of the test selection above
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export TARNWELL_FUZZ_EXAMPLES=${TARNWELL_FUZZ_EXAMPLES:-300}
parts=${TARNWELL_CHECK:-asan tsan clang}
tests=(tests/test_tarnwell.py tests/test_ensemble.py tests/test_refraction.py tests/test_frame.py
       tests/test_hardening.py tests/test_fuzz.py tests/test_package.py tests/test_fuzz_package.py
       tests/test_parcel.py tests/test_volume.py::test_vad_sweep_equals_vad_bit_for_bit
       tests/test_volume.py::test_valid_sums_add_the_rays_of_finite_samples_in_ray_order
       tests/test_volume.py::test_torus_peaks_are_the_maxima_of_the_score
       tests/test_volume.py::test_unfold_moves_samples_onto_the_reference)
[ $# -eq 0 ] || tests=("$@")  # arguments replace the test selection (and may add pytest options)
python=$(command -v python)

# A fresh machine: the compiler and runtimes come with the environment; clang is installed if missing.
if ! command -v clang++ >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang >/dev/null
    else
        echo "check: clang++ is needed for the clang build" >&2
        exit 1
    fi
fi

build() {  # folder, compiler, flags
    local dir=$1 cxx=$2 flags=$3
    echo "== build $dir ($cxx $flags)"
    local first=()
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=\(.*/\)\?$cxx\$" "$dir/CMakeCache.txt"; then
        rm -rf "$dir"  # made by another compiler: CMake cannot switch in place
    fi
    [ -f "$dir/CMakeCache.txt" ] || first=(-G Ninja -DCMAKE_CXX_COMPILER="$cxx")
    cmake -S . -B "$dir" "${first[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
        -DPython_EXECUTABLE="$python" >/dev/null
    cmake --build "$dir" -j 2
}

# pytest against the modules of a build folder; the extra environment comes first.
run_tests() {  # folder, seconds, env assignments..., -- pytest arguments...
    local dir=$1 seconds=$2
    shift 2
    local vars=()
    while [ "$1" != -- ]; do
        vars+=("$1")
        shift
    done
    shift
    echo "== tests against $dir"
    env PYTHONPATH="$PWD/$dir:$PWD/src" "${vars[@]}" \
        timeout "$seconds" "$python" -m pytest -q -p no:cacheprovider --capture=sys "$@"
}

sanitizer_flags_address="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
sanitizer_flags_thread="-fsanitize=thread -g"
# The runtime must be loaded before anything else in the uninstrumented interpreter, and libstdc++
# with it (else the first C++ exception aborts). Python's own allocator would hide its blocks.
preload() { echo "$(c++ -print-file-name="$1") $(c++ -print-file-name=libstdc++.so)"; }
asan_options=detect_leaks=0:detect_stack_use_after_return=0:quarantine_size_mb=0:allocator_may_return_null=1

for part in $parts; do
    case "$part" in
        asan)
            build build-asan g++ "$sanitizer_flags_address"
            run_tests build-asan 1800 LD_PRELOAD="$(preload libasan.so)" PYTHONMALLOC=malloc \
                ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
                TARNWELL_SANITIZER=address TARNWELL_SANITIZER_FLAGS="$sanitizer_flags_address" \
                -- "${tests[@]}"
            ;;
        tsan)
            build build-tsan g++ "$sanitizer_flags_thread"
            run_tests build-tsan 1800 LD_PRELOAD="$(preload libtsan.so)" PYTHONMALLOC=malloc \
                TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 \
                TARNWELL_SANITIZER=thread TARNWELL_SANITIZER_FLAGS="$sanitizer_flags_thread" \
                -- "${tests[@]}"
            ;;
        clang)
            build build-clang clang++ "-Werror -DTARNWELL_PORTABLE_MATH"
            run_tests build-clang 1200 -- "${tests[@]}"
            ;;
        *) echo "check: unknown part $part (asan, tsan, clang)" >&2; exit 2 ;;
    esac
done
echo "== check passed: $parts"
