#!/usr/bin/env bash
# Runs a command with a Python 3.14 that has NumPy, pybind11 >= 3 and the build tools.
#
#   scripts/env.sh CMD [ARGS...]
#
# A host python3.14 with NumPy, pybind11 >= 3 and scikit-build-core is used directly.
# Otherwise a Debian testing root is made once in $TARNWELL_CACHE (default
# ~/.cache/tarnwell) and the command runs inside it. The host's files stay where the user
# sees them: the checkout's parent folder, the working directory, $TARNWELL_DATA, $HOME, /tmp, /var/tmp,
# the usual data mounts and the nearest existing folder of every path argument are bound
# at the same paths, and the command runs in the user's directory ($TARNWELL_USER_DIR when
# a wrapper changed directory first, else the current one). An argument naming a path that
# would land inside the root (a system folder) stops the command before any work.
# Inside, `python` on PATH is the interpreter to use. TARNWELL_FORCE_ROOT=1 takes the root
# even where a host python3.14 would do.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${TARNWELL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tarnwell}
root=$cache/root
stamp_name=.tarnwell-root-complete
# Bump when the package list changes so that existing roots are completed.
root_version=3
packages=(
    python3 python3-dev python3-venv python3-pip python3-numpy
    pybind11-dev python3-pybind11 python3-scikit-build-core
    cmake ninja-build g++ make
    python3-pytest python3-hypothesis python3-scipy python3-metpy
    python3-xarray python3-dask python3-distributed python3-pint python3-zarr python3-netcdf4
    python3-matplotlib python3-mypy python3-psutil clang
    python3-pint-xarray python3-pooch python3-pyproj python3-h5py
    python3-sphinx python3-numpydoc python3-sphinx-gallery python3-pydata-sphinx-theme
    chromium ruff clang-format
)

host_python_ok() {
    command -v python3.14 >/dev/null 2>&1 || return 1
    python3.14 - <<'PY' >/dev/null 2>&1
import numpy, pybind11, scikit_build_core
assert int(pybind11.__version__.split(".")[0]) >= 3
assert int(numpy.__version__.split(".")[0]) >= 2
PY
}

mirror() {
    # The first non-security Debian archive the host's apt already uses.
    local uri=""
    if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
        uri=$(awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}' /etc/apt/sources.list.d/*.sources \
              | grep -v -e security -e '^cdrom' | grep -i debian | head -n 1 || true)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' \
              /etc/apt/sources.list | grep -v security | grep -i debian | head -n 1 || true)
    fi
    [ -n "$uri" ] || { echo "env.sh: no Debian mirror found in the apt configuration" >&2; return 1; }
    echo "${uri%/}"
}

user_dir=${TARNWELL_USER_DIR:-$PWD}

# Folders of the root that are its own: host paths under them are not bound (that would
# replace the root's system), so nothing may be written there from inside.
system_dir() {
    case "$1" in
        / | /bin | /bin/* | /boot | /boot/* | /dev | /dev/* | /etc | /etc/* | /lib* | /opt | /opt/* | \
            /proc | /proc/* | /run | /run/* | /sbin | /sbin/* | /sys | /sys/* | /usr | /usr/* | \
            /var | /var/cache* | /var/lib* | /var/log* | /var/spool* | /var/run* | /var/mail*) return 0 ;;
    esac
    return 1
}

# The folders to bind (one per line): fixed ones, then for each path argument the nearest
# existing ancestor not yet visible. Exits 2 naming an argument that cannot be reached.
bind_list() {
    local -a binds=()
    local d parent
    parent=$(dirname "$here")
    if system_dir "$parent"; then binds+=("$here"); else binds+=("$parent"); fi
    for d in "$user_dir" "${TARNWELL_DATA:-}" "${HOME:-}" /tmp /var/tmp /mnt /media /srv /data /scratch; do
        [ -n "$d" ] && [ -d "$d" ] && ! system_dir "$d" && binds+=("$(cd "$d" && pwd -P)")
    done
    visible() {
        local p=$1 b
        for b in "${binds[@]}"; do
            case "$p" in "$b" | "$b"/*) return 0 ;; esac
        done
        return 1
    }
    local arg path anc
    for arg in "$@"; do
        case "$arg" in
            --*=*) path=${arg#*=} ;;
            *) path=$arg ;;
        esac
        case "$path" in
            /*) ;;
            ./* | ../* | */*) [ -e "$user_dir/$path" ] || [ -d "$user_dir/$(dirname "$path")" ] || continue
                path=$user_dir/$path ;;
            *) continue ;;
        esac
        case "$path" in *$'\n'*) continue ;; esac
        path=$(realpath -m -- "$path")
        visible "$path" && continue
        anc=$path
        while [ ! -e "$anc" ]; do anc=$(dirname "$anc"); done
        [ -d "$anc" ] || anc=$(dirname "$anc")
        if system_dir "$anc"; then
            # The root's own files (/dev/null, /usr/bin/...) may be named; nothing new may go there.
            [ -e "$root$path" ] && continue
            echo "env.sh: $arg is not reachable inside the Python 3.14 root ($anc is a system folder);" \
                "use a folder under \$HOME, /tmp or beside the checkout" >&2
            return 2
        fi
        visible "$anc" || binds+=("$anc")
    done
    printf '%s\n' "${binds[@]}"
}

in_root() {
    # Variables that reach the command: the project's own and the thread-count knobs. PROJ's data
    # are Debian's: pyproj looks for them under the virtual environment's prefix only.
    local vars=() name binds
    for name in $(compgen -e); do
        case "$name" in
            TARNWELL_IN_ROOT | TARNWELL_USER_DIR | TARNWELL_HOST_DATA) ;;
            TARNWELL_* | CI | PYTEST_ADDOPTS | OMP_NUM_THREADS | OPENBLAS_* | TERM)
                vars+=("$name=${!name}") ;;
        esac
    done
    # Tells the tests which real sample files the host has, so that they fail rather than skip
    # when those files are not visible inside.
    local data=${TARNWELL_DATA:-$(dirname "$here")/shared/data}
    [ -d "$data" ] && vars+=("TARNWELL_HOST_DATA=$(cd "$data" && pwd -P)")
    binds=$(bind_list "$@") || exit 2
    # Private mount namespace: nothing mounted here outlives the command.
    # (Where / is no mount point, as inside another chroot, the namespace around it is private already.)
    unshare --mount --propagation unchanged -- bash -c '
        set -e
        mount --make-rprivate / 2>/dev/null || true
        root=$1; dir=$2; binds=$3; nvars=$4; shift 4
        vars=("${@:1:nvars}"); shift "$nvars"
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        while IFS= read -r b; do
            [ -n "$b" ] || continue
            mkdir -p "$root$b"
            mount --bind "$b" "$root$b"
        done <<<"$binds"
        [ -f /etc/resolv.conf ] && cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        exec chroot "$root" /usr/bin/env -i HOME="${HOME:-/root}" LANG=C.UTF-8 \
            PATH=/opt/tarnwell/bin:/usr/local/bin:/usr/bin:/bin PROJ_DATA=/usr/share/proj \
            "${vars[@]}" TARNWELL_IN_ROOT=1 \
            bash -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"
    ' bash "$root" "$user_dir" "$binds" "${#vars[@]}" "${vars[@]}" "$@"
}

make_root() {
    local stamp=$root/$stamp_name
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$root_version" ]; then
        return 0
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "env.sh: making the Python 3.14 root needs root (or install python3.14 with numpy and pybind11)" >&2
        return 1
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    local url
    url=$(mirror)
    if [ ! -f "$stamp" ]; then
        # A root without the stamp is half made: start again.
        echo "env.sh: making a Debian testing root in $root (a few minutes, once)" >&2
        rm -rf "$root"
        mkdir -p "$cache"
        local script=/usr/share/debootstrap/scripts/sid
        debootstrap --variant=minbase testing "$root" "$url" "$script" >"$cache/debootstrap.log" 2>&1 ||
            debootstrap --no-check-gpg --variant=minbase testing "$root" "$url" "$script" \
                >"$cache/debootstrap.log" 2>&1 ||
            { tail -n 20 "$cache/debootstrap.log" >&2; return 1; }
    fi
    rm -f "$stamp"
    echo "deb $url testing main" >"$root/etc/apt/sources.list"
    # Mirrors may serve a testing Release file past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99tarnwell"
    in_root bash -c "
        set -e
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends ${packages[*]} >/dev/null
        apt-get clean
        rm -rf /opt/tarnwell
        python3 -m venv --system-site-packages /opt/tarnwell
        /opt/tarnwell/bin/python -c 'import numpy, pybind11, scikit_build_core, pytest'
    " >"$cache/install.log" 2>&1 || { tail -n 30 "$cache/install.log" >&2; return 1; }
    echo "$root_version" >"$stamp"
}

if [ "${TARNWELL_IN_ROOT:-}" = 1 ]; then
    exec "$@"
elif [ "${TARNWELL_FORCE_ROOT:-}" != 1 ] && host_python_ok; then
    venv=${TARNWELL_VENV:-$cache/venv-host}
    if [ ! -x "$venv/bin/python" ]; then
        python3.14 -m venv --system-site-packages "$venv"
    fi
    cd "$user_dir"
    PATH=$venv/bin:$PATH exec "$@"
else
    make_root
    in_root "$@"
fi
