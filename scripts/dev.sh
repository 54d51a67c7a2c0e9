#!/usr/bin/env bash
# Set up an isolated environment, build and install the module, then run the
# tour or the test suite.
#
#   scripts/dev.sh tour      the tour of the toolkit
#   scripts/dev.sh test      the whole test suite (extra arguments go to pytest;
#                            --long runs the long proofs, see docs/proving.md)
#   scripts/dev.sh sanitize  the same suite against a build with AddressSanitizer
#                            and UndefinedBehaviorSanitizer, in .venv-asan
#   scripts/dev.sh bench     the benchmark against the peers (arguments go to
#                            bench/bench.py), with the hand-written floor of
#                            bench/floor installed beside the module
#   scripts/dev.sh docs      the documentation site, into docs/_build/html;
#                            a warm build redoes only what changed, --clean
#                            starts from nothing (other arguments go to
#                            sphinx-build)
#
# The interpreter is Python 3.8 from pyenv unless PYTHON names another one,
# by its path or by its version (PYTHON=3.13). A version that pyenv does not
# have here, 3.14 or 3.15, or 3.14d for 3.14's debug build, is Debian's, set
# up once by scripts/debian-python.sh; 3.14d gets an environment of its own,
# .venv-3.14d.
#
# A build is reused while nothing it is made from has changed. Each
# environment keeps the key of the build installed in it (.build-key): a
# digest of src/, the stubs, CMakeLists.txt, pyproject.toml and the licence
# files, of the interpreter and of the build options (-C...), and the digest
# of the module that the build installed. A command whose key matches, and
# whose environment still holds that very module, runs at once; anything else
# builds from scratch, as on a fresh clone. So a module installed into the
# environment by other means (a pip install . with other options) is
# replaced, not measured or tested in the build's name. (The README only
# feeds the package's long description, so editing it does not rebuild.)
# Remove an environment (rm -r .venv-3.8) to start over.
set -euo pipefail
cd "$(dirname "$0")/.."

# pyenv_python VERSION: the newest pyenv interpreter of VERSION (3.8, 3.13),
# or nothing.
pyenv_python() {
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    ls -d "$root"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1 || true
}

# find_python: the interpreter PYTHON names (see the header).
find_python() {
    local version="${PYTHON:-3.8}" found=""
    case "$version" in
        3.[0-9]*) ;;
        *) echo "$version"; return ;;
    esac
    if [[ "$version" != *d ]]; then found="$(pyenv_python "$version")"; fi
    if [[ -z "$found" ]]; then
        case "$version" in
            3.14|3.15|3.14d) found="$(scripts/debian-python.sh "$version")" ;;
            *) echo "dev.sh: no Python $version found under pyenv; set PYTHON to its path" >&2
               exit 1 ;;
        esac
    fi
    echo "$found"
}

# make_venv PYTHON VENV: create VENV with a current pip, unless it exists
# with that very interpreter. The sanitizer's and the docs' environments keep
# their names whatever PYTHON says, so one made with another interpreter is
# made again.
make_venv() {
    local version='import sys; print(sys.version)'
    if [[ -x "$2/bin/python" && "$("$2/bin/python" -c "$version")" != "$("$1" -c "$version")" ]]; then
        echo "dev.sh: $2 was made with another Python; making it again with $1" >&2
        rm -rf "$2"
    fi
    if [[ ! -x "$2/bin/python" ]]; then
        echo "dev.sh: making $2 with $1" >&2
        "$1" -m venv "$2"
        "$2/bin/python" -m pip install -q --upgrade pip >&2
    fi
}

# digest PYTHON "FILE..." [OPTION...]: the digest of the files (a list, one
# word), the interpreter and the build options.
digest() {
    local py="$1" files="$2"
    shift 2
    {
        # shellcheck disable=SC2086 # the list splits into its paths
        find $files -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
        readlink -f "$py"
        "$py" -c 'import sys; print(sys.version)'
        printf '%s\n' "$@"
    } | sha256sum | cut -d ' ' -f 1
}

# build_key PYTHON [OPTION...]: the digest of everything a build is made from.
build_key() {
    digest "$1" "src orbelon_core-stubs CMakeLists.txt pyproject.toml LICENSE LICENSES" "${@:2}"
}

# installed_module VENV: the digest of the module installed in VENV (of
# nothing, when there is none).
installed_module() {
    cat "$1"/lib/python*/site-packages/orbelon_core*.so 2>/dev/null | sha256sum | cut -d ' ' -f 1
}

# The requirements of one extra of pyproject.toml, a line each. Its arrays
# hold only strings, so they read as Python lists, comments and all.
read -r -d '' READ_EXTRA <<'EOF' || true
import ast, re, sys
with open("pyproject.toml", encoding="utf-8") as f:  # closed: -X dev warns otherwise
    text = f.read()
text = text.split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
array = re.search(r"""^%s\s*=\s*(\[(?:[\s,]|"[^"]*"|'[^']*'|#[^\n]*)*\])""" % re.escape(sys.argv[1]),
                  text, re.M)
print("\n".join(ast.literal_eval(array.group(1))))
EOF

# install_extra VENV EXTRA: install what the extra EXTRA requires into VENV,
# without the project itself: pip install ".[EXTRA]" would build it again.
# The list installed is kept in VENV/.extra-EXTRA; while it stays the same,
# pip is not called at all.
install_extra() {
    local venv="$1" extra="$2" requirements list
    requirements="$("$venv/bin/python" -c "$READ_EXTRA" "$extra")"
    if [[ "$(cat "$venv/.extra-$extra" 2>/dev/null)" != "$requirements" ]]; then
        mapfile -t list <<<"$requirements"
        echo "dev.sh: installing the $extra requirements into $venv" >&2
        "$venv/bin/python" -m pip install -q "${list[@]}" >&2
        printf '%s\n' "$requirements" >"$venv/.extra-$extra"
    fi
}

# setup EXTRA [VENV [PIP-OPTION...]]: build and install into VENV (by default
# .venv-X.Y for the interpreter's version) with the optional extra EXTRA.
setup() {
    local extra="$1" py venv key
    py="$(find_python)"
    # A debug build (3.14d) needs an environment of its own: its modules
    # have the same names as the release build's but another ABI.
    venv="${2:-.venv-$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2]
                                                   + ("d" if hasattr(sys, "gettotalrefcount") else ""))')}"
    shift $(($# < 2 ? $# : 2))
    make_venv "$py" "$venv"
    PY="$venv/bin/python"
    # Taken before the build: a file edited while it runs leaves a key that
    # no longer matches, and the next command builds again.
    key="$(build_key "$PY" "$@")"
    if [[ "$(cat "$venv/.build-key" 2>/dev/null)" != "$key $(installed_module "$venv")" ]]; then
        rm -f "$venv/.build-key"
        echo "dev.sh: building orbelon_core into $venv (a build from scratch takes 1 to 3 minutes)" >&2
        # pip builds in a temporary directory, from scratch.
        "$PY" -m pip install -q --force-reinstall --no-deps "$@" . >&2
        echo "$key $(installed_module "$venv")" >"$venv/.build-key"
    fi
    if [[ -n "$extra" ]]; then install_extra "$venv" "$extra"; fi
}

# install_floor: the benchmark's floor (bench/floor, a plain C extension)
# into the environment of $PY, rebuilt only when its files or the interpreter
# change; the key works as the module's .build-key does.
install_floor() {
    local venv key
    venv="$(dirname "$(dirname "$PY")")"
    key="$(digest "$PY" "bench/floor/floor.c bench/floor/setup.py bench/floor/pyproject.toml")"
    if [[ "$(cat "$venv/.floor-key" 2>/dev/null)" != "$key" ]]; then
        rm -f "$venv/.floor-key"
        # pip builds in the tree; setuptools would reuse an object that is
        # newer than floor.c even when setup.py's flags have changed.
        rm -rf bench/floor/build
        "$PY" -m pip install -q --force-reinstall --no-deps ./bench/floor >&2
        echo "$key" >"$venv/.floor-key"
    fi
}

# The type checkers live in one environment, .venv-tools, that serves every
# other: basedpyright alone is some 280 MB with its Node.js. The typing tests
# run them from the Python named by ORBELON_TYPECHECK_PYTHON and point them
# at the interpreter under test.
typecheck_tools() {
    make_venv "$(find_python)" .venv-tools
    install_extra .venv-tools typecheck
    export ORBELON_TYPECHECK_PYTHON="$PWD/.venv-tools/bin/python"
}

# Run the suite against the instrumented build. The interpreter itself is not
# instrumented, so the sanitizer runtime has to be preloaded to come first,
# and the C++ runtime with it: otherwise the sanitizer's hook on C++ throw
# finds no real throw to forward to and aborts at the first exception.
sanitize() {
    setup test .venv-asan -Ccmake.define.ORBELON_SANITIZE=ON
    typecheck_tools
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
        typecheck_tools
        "$PY" -m pytest "$@"
        ;;
    bench)
        setup bench
        install_floor
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
        start="$(date +%s%N)"
        setup docs .venv-docs
        # Warm by default: Sphinx re-reads only the pages whose sources
        # changed, and the gallery re-runs only the scripts that did.
        if [[ "${1:-}" == --clean ]]; then
            shift
            rm -rf docs/_build docs/gallery docs/reference
        fi
        "$PY" -m sphinx -W --keep-going -b html docs docs/_build/html "$@"
        # The guide's examples that need the extra's packages, which the
        # test suites skip: the cluster of docs/guide/parallel.md.
        "$PY" -m pytest -q -p no:cacheprovider --noconftest tests/test_readme.py -k "parallel" >&2
        ms=$(( ($(date +%s%N) - start) / 1000000 ))
        printf 'docs: docs/_build/html/index.html, built in %d.%d s\n' $((ms / 1000)) $((ms % 1000 / 100))
        ;;
    extra)
        # The requirements of one extra, a line each: scripts/wheels.sh
        # installs the type checkers with them.
        "$(find_python)" -c "$READ_EXTRA" "${1:?which extra?}"
        ;;
    *)
        echo "usage: scripts/dev.sh tour|test|sanitize|bench|docs|extra [args]" >&2
        exit 2
        ;;
esac
