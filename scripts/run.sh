#!/usr/bin/env bash
# Builds and installs the modules into the Python 3.14 environment, then runs one job:
#
#   scripts/run.sh demo     the main job: the storm case, figures and NetCDF product into out/
#                           (arguments go to python -m tarnwell.storm: --out, --figures, --size, --workers)
#   scripts/run.sh test     the test suite (extra arguments go to pytest)
#   scripts/run.sh bench    the benchmark table (extra arguments go to the script)
#   scripts/run.sh docs     the documentation site into docs/_build/html, warnings as errors
#                           (extra arguments go to sphinx-build)
#   scripts/run.sh dev CMD  incremental CMake build into $TARNWELL_BUILD (default build-dev),
#                           (only $TARNWELL_TARGET when set), then CMD with the built modules
#                           and the package sources (src/) first on PYTHONPATH
#   scripts/run.sh lint     ruff (check and format), clang-format and mypy --strict, changing nothing
#   scripts/run.sh check    sanitizer (address + undefined, thread), leak, fuzz and clang runs
#                           in their own build folders (scripts/check.sh)
#
# demo and dev run their command in the caller's directory, so relative paths mean what the
# caller meant; test, bench, docs, lint and check run in the checkout. The environment is provisioned on
# first use (scripts/env.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TARNWELL_USER_DIR=${TARNWELL_USER_DIR:-$PWD}
cd "$here"
job=${1:-}
shift || true
q=$(printf %q "$here")
install="python -m pip install --no-index --no-build-isolation --no-deps --disable-pip-version-check -q $q"
case "$job" in
    demo) exec scripts/env.sh bash -c "$install && python -m tarnwell.storm \"\$@\"" bash "$@" ;;
    test) exec scripts/env.sh bash -c "$install && cd $q && python -m pytest tests \"\$@\"" bash "$@" ;;
    bench) exec scripts/env.sh bash -c "$install && cd $q && python bench/bench.py \"\$@\"" bash "$@" ;;
    docs) # The sample files beside the checkout serve the gallery offline (else it downloads them).
        [ -n "${TARNWELL_DATA:-}" ] || [ ! -d "$here/../shared/data" ] \
            || export TARNWELL_DATA=$(cd "$here/../shared/data" && pwd)
        exec scripts/env.sh bash -c "$install && cd $q && MPLBACKEND=agg python -m sphinx -W --keep-going \
            -b html docs docs/_build/html \"\$@\"" bash "$@" ;;
    dev) exec scripts/env.sh bash -c '
            set -e
            here=$1; shift
            build=${TARNWELL_BUILD:-build-dev}
            case "$build" in /*) ;; *) build=$here/$build ;; esac
            [ -f "$build/build.ninja" ] || cmake -S "$here" -B "$build" -G Ninja \
                -DPython_EXECUTABLE="$(command -v python)" >/dev/null
            cmake --build "$build" ${TARNWELL_TARGET:+--target "$TARNWELL_TARGET"}
            PYTHONPATH="$build:$here/src${PYTHONPATH:+:$PYTHONPATH}" exec "$@"' bash "$here" "$@" ;;
    lint) exec scripts/env.sh bash -c '
            set -e
            cd "$1"
            ruff check .
            ruff format --check .
            clang-format --dry-run -Werror src/*.cpp src/*/*.hpp tests/*.cpp bench/*.cpp bench/*.c
            MYPYPATH="$1/src" python -m mypy --strict src/tarnwell
            echo "lint: clean"' bash "$here" ;;
    check) TARNWELL_USER_DIR=$here exec scripts/env.sh bash scripts/check.sh "$@" ;;
    *) echo "usage: scripts/run.sh demo|test|bench|docs|dev|lint|check [ARGS...]" >&2; exit 2 ;;
esac
