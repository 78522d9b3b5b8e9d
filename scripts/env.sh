# shellcheck shell=bash
# Sourced by the scripts in this directory and in bench/: locates the repository and the interpreters,
# and makes and refreshes the venvs.

QUARNA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUARNA_VENVS="$QUARNA_ROOT/.venv"

# find_python MINOR -> prints the path of a CPython 3.MINOR interpreter, or nothing.
find_python() {
    local minor="$1" candidate prefix root
    if command -v pyenv >/dev/null 2>&1; then
        if prefix="$(pyenv prefix "3.$minor" 2>/dev/null)" && [ -x "$prefix/bin/python3.$minor" ]; then
            echo "$prefix/bin/python3.$minor"
            return 0
        fi
    fi
    if candidate="$(command -v "python3.$minor" 2>/dev/null)" && "$candidate" -c '' 2>/dev/null; then
        echo "$candidate"
        return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root 2>/dev/null)"
        for candidate in "$root"/versions/3."$minor".*/bin/python3."$minor"; do
            if [ -x "$candidate" ]; then
                echo "$candidate"
                return 0
            fi
        done
    fi
    return 1
}

# python_for MINOR -> an interpreter for 3.MINOR, or a loud fallback to another Python 3.
python_for() {
    local minor="$1" found
    if found="$(find_python "$minor")"; then
        echo "$found"
        return 0
    fi
    {
        echo "######################################################################"
        echo "WARNING: CPython 3.$minor not found (pyenv, python3.$minor on PATH)."
        echo "WARNING: falling back to another interpreter; results are NOT for 3.$minor."
        echo "######################################################################"
    } >&2
    for found in python3.11 python3; do
        if command -v "$found" >/dev/null 2>&1; then
            command -v "$found"
            return 0
        fi
    done
    echo "ERROR: no Python 3 interpreter at all" >&2
    return 1
}

venv_dir() { echo "$QUARNA_VENVS/py3.$1"; }
venv_python() { echo "$(venv_dir "$1")/bin/python"; }
# The benchmark venv: .venv/bench for 3.10 (the reference), .venv/bench3.MINOR for the others.
bench_venv_dir() { if [ "$1" = 10 ]; then echo "$QUARNA_VENVS/bench"; else echo "$QUARNA_VENVS/bench3.$1"; fi; }

# What a venv needs to build the package from this tree without build isolation. Everything else
# the development venvs hold (the dependencies and the test tools of the `test` extra) comes from
# pyproject.toml when the tree is installed as ".[test]".
QUARNA_BUILD_TOOLS=(scikit-build-core cmake ninja)

# pip, quiet; a debug interpreter's ResourceWarnings from pip itself are noise.
quarna_pip() { local py="$1"; shift; PYTHONWARNINGS=ignore "$py" -m pip "$@" -q --disable-pip-version-check; }

# ensure_venv DIR BASE_PYTHON [PIP_ARG...]: make DIR a venv of BASE_PYTHON (created when it has no
# python) that holds what the pip arguments name (requirements, `-r FILE`, pip options). They are
# installed whenever they differ from the record DIR/.installed, which holds the arguments and the
# text of each -r file and is written only once pip succeeded: a changed list or requirements file is
# installed, and an interrupted install is finished, by the next call.
ensure_venv() {
    local dir="$1" base="$2" want="" arg
    shift 2
    local py="$dir/bin/python" prev=""
    for arg in "$@"; do
        want+="$arg"$'\n'
        if [ "$prev" = -r ]; then want+="$(cat "$arg")"$'\n' || return 1; fi
        prev="$arg"
    done
    if [ ! -x "$py" ]; then
        echo "env: creating $dir from $base" >&2
        rm -rf "$dir"
        "$base" -m venv "$dir" || return 1
    fi
    printf '%s' "$want" | cmp -s - "$dir/.installed" && return 0
    # A new pip first: Debian's bundled one predates -C (config settings for the build backend).
    quarna_pip "$py" install --upgrade pip || return 1
    [ $# -eq 0 ] || quarna_pip "$py" install "$@" || return 1
    printf '%s' "$want" > "$dir/.installed"
}

# install_tree DIR [PIP_ARG...] TARGET: (re)install this tree (TARGET "." or ".[test]") into the
# venv DIR without build isolation, with the venv's cmake and ninja first on PATH so that the build
# picks up no other copies. The CMake tree the caller names (`-C build-dir=build/...`) keeps the
# rebuild incremental.
install_tree() {
    local dir="$1"
    shift
    (cd "$QUARNA_ROOT" && PATH="$dir/bin:$PATH" quarna_pip "$dir/bin/python" install --no-build-isolation "$@")
}
