#!/usr/bin/env bash
# Builds and installs the modules into the Python 3.14 environment, then runs one job:
#
#   scripts/run.sh demo     the main job: the storm case, figures and NetCDF product into out/
#                           (arguments go to python -m tarnwell.storm: --out, --figures, --size, --workers)
#   scripts/run.sh test     the test suite (extra arguments go to pytest)
#   scripts/run.sh bench    the benchmark table (extra arguments go to the script)
#   scripts/run.sh dev CMD  incremental CMake build into $TARNWELL_BUILD (default build-dev),
#                           (only $TARNWELL_TARGET when set), then CMD with the built modules
#                           and the package sources (src/) first on PYTHONPATH
#   scripts/run.sh check    sanitizer (address + undefined, thread), leak, fuzz and clang runs
#                           in their own build folders (scripts/check.sh)
#
# The environment is provisioned on first use (scripts/env.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
job=${1:-}
shift || true
install='python -m pip install --no-index --no-build-isolation --no-deps --disable-pip-version-check -q .'
case "$job" in
    demo) exec scripts/env.sh bash -c "$install && python -m tarnwell.storm \"\$@\"" bash "$@" ;;
    test) exec scripts/env.sh bash -c "$install && python -m pytest tests \"\$@\"" bash "$@" ;;
    bench) exec scripts/env.sh bash -c "$install && python bench/bench.py \"\$@\"" bash "$@" ;;
    dev) exec scripts/env.sh bash -c '
            set -e
            build=${TARNWELL_BUILD:-build-dev}
            [ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja \
                -DPython_EXECUTABLE="$(command -v python)" >/dev/null
            cmake --build "$build" ${TARNWELL_TARGET:+--target "$TARNWELL_TARGET"}
            PYTHONPATH="$PWD/$build:$PWD/src${PYTHONPATH:+:$PYTHONPATH}" exec "$@"' bash "$@" ;;
    check) exec scripts/env.sh bash scripts/check.sh "$@" ;;
    *) echo "usage: scripts/run.sh demo|test|bench|dev|check [ARGS...]" >&2; exit 2 ;;
esac
