#!/usr/bin/env bash
# Set up an isolated environment, build and install the module from scratch,
# then run the tour or the test suite.
#
#   scripts/dev.sh tour      the tour of the toolkit
#   scripts/dev.sh test      the whole test suite (extra arguments go to pytest;
#                            --long runs the long proofs, see docs/proving.md)
#   scripts/dev.sh sanitize  the same suite against a build with AddressSanitizer
#                            and UndefinedBehaviorSanitizer, in .venv-asan
#   scripts/dev.sh bench     the benchmark against the peers (arguments go to
#                            bench/bench.py)
#   scripts/dev.sh docs      the documentation site, into docs/_build/html
#                            (arguments go to sphinx-build)
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

# setup EXTRA [VENV [PIP-OPTION...]]: build and install into VENV (by default
# .venv-X.Y for the interpreter's version) with the optional extra EXTRA.
setup() {
    local extra="$1" py venv
    py="$(find_python)"
    venv="${2:-.venv-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')}"
    shift $(($# < 2 ? $# : 2))
    if [[ ! -x "$venv/bin/python" ]]; then
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
    fi
    # Always a fresh build: pip builds in a temporary directory.
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$@" . >&2
    if [[ -n "$extra" ]]; then "$venv/bin/python" -m pip install -q "$@" ".[$extra]" >&2; fi
    PY="$venv/bin/python"
}

# Run the suite against the instrumented build. The interpreter itself is not
# instrumented, so the sanitizer runtime has to be preloaded to come first,
# and the C++ runtime with it: otherwise the sanitizer's hook on C++ throw
# finds no real throw to forward to and aborts at the first exception.
sanitize() {
    setup test .venv-asan -Ccmake.define.ORBELON_SANITIZE=ON
    local so symbols
    so="$(find .venv-asan -name 'orbelon_core*.so' | head -n 1)"
    symbols="$(nm -D --undefined-only "$so")"
    for probe in __asan_report_load8 __ubsan_handle_; do
        if [[ "$symbols" != *"$probe"* ]]; then
            echo "dev.sh: $so is not instrumented ($probe missing)" >&2
            exit 1
        fi
    done
    # halt_on_error: the first report fails the run. detect_leaks=0: CPython
    # does not free everything it allocated when it exits, so leak reports at
    # exit would be noise; the suite's leak tests measure growth instead.
    # PYTHONMALLOC=malloc puts Python objects on the sanitizer's heap too, so
    # the module's own use of an object freed too early is caught.
    # --capture=sys: pytest's default capture would swallow a report printed
    # to the real stderr by a process that then aborts.
    local cxx="${CXX:-c++}"
    LD_PRELOAD="$($cxx -print-file-name=libasan.so):$($cxx -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONMALLOC=malloc \
        "$PY" -m pytest --capture=sys "$@"
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
    sanitize)
        sanitize "$@"
        ;;
    docs)
        # Python 3.12 by default: the pinned documentation tools need 3.12 or
        # newer. Its own environment, so they never mix with the test ones.
        if [[ -z "${PYTHON:-}" ]]; then
            PYTHON="$(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.12.*/bin/python3.12 \
                      2>/dev/null | sort -V | tail -n 1 || true)"
            if [[ -z "$PYTHON" ]]; then
                echo "dev.sh: no Python 3.12 found under pyenv; set PYTHON" >&2
                exit 1
            fi
        fi
        setup docs .venv-docs
        # A clean build every time: the gallery runs every example afresh.
        rm -rf docs/_build docs/gallery
        "$PY" -m sphinx -W --keep-going -b html docs docs/_build/html "$@"
        echo "docs: docs/_build/html/index.html"
        ;;
    *)
        echo "usage: scripts/dev.sh tour|test|sanitize|bench|docs [args]" >&2
        exit 2
        ;;
esac
