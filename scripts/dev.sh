#!/usr/bin/env bash
# Set up an isolated environment, build and install the module from scratch,
# then run the tour or the test suite.
#
#   scripts/dev.sh tour    the tour of the toolkit
#   scripts/dev.sh test    the whole test suite (extra arguments go to pytest)
#   scripts/dev.sh bench   the benchmark against the peers (arguments go to bench.py)
#
# The interpreter is Python 3.8 from pyenv unless PYTHON names another one.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    if [[ -n "${PYTHON:-}" ]]; then echo "$PYTHON"; return; fi
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    local found
    found="$(ls -d "$root"/versions/3.8.*/bin/python3.8 2>/dev/null | sort -V | tail -n 1 || true)"
    if [[ -z "$found" ]]; then
        echo "dev.sh: no Python 3.8 found under $root/versions; set PYTHON" >&2
        exit 1
    fi
    echo "$found"
}

setup() {
    local py venv
    py="$(find_python)"
    venv=".venv-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    if [[ ! -x "$venv/bin/python" ]]; then
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
    fi
    # Always a fresh build: pip builds in a temporary directory.
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps . >&2
    if [[ -n "${1:-}" ]]; then "$venv/bin/python" -m pip install -q ".[$1]" >&2; fi
    PY="$venv/bin/python"
}

cmd="${1:-}"
shift || true
case "$cmd" in
    tour)
        setup ""
        "$PY" examples/tour.py
        ;;
    test)
        setup test
        "$PY" -m pytest "$@"
        ;;
    bench)
        setup bench
        "$PY" bench/bench.py "$@"
        ;;
    *)
        echo "usage: scripts/dev.sh tour|test|bench [args]" >&2
        exit 2
        ;;
esac
