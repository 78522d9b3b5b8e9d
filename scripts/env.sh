# shellcheck shell=bash
# Sourced by the scripts in this directory: locates the repository, the interpreters and the venvs.

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
