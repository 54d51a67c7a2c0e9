#!/usr/bin/env bash
# What a packager meets, checked the way one would meet it (CI runs this):
#
# 1. The sdist holds exactly what git tracks: built from git's export
#    (scripts/sdist.sh), and built from this working tree with stray files
#    lying in it, which pyproject.toml's sdist rules must leave out.
# 2. `pip install .[docs]` resolves on Python 3.8, where the documentation
#    tools' pins cannot install (a dry run: the extra is empty there).
# 3. A source install cannot take the wrong pybind11. In a fresh virtual
#    environment that already holds another pybind11 (3.1.0, newer than the
#    pinned one), `pip install .` and `pip install SDIST` must both build
#    against the pinned pybind11 and work; the suite then runs against the
#    sdist's install.
#
#   scripts/check-packaging.sh [PYTEST-ARG...]
#
# Python 3.12 from pyenv by default, or PYTHON (a path or a version).
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
case "${PYTHON:-3.12}" in
    3.[0-9]*) py="$(ls -d "$root"/versions/"${PYTHON:-3.12}".*/bin/python"${PYTHON:-3.12}" | sort -V | tail -n 1)" ;;
    *) py="$PYTHON" ;;
esac
other_pybind11=3.1.0

work="$(mktemp -d)"
stray=("$src/venv-stray-$$" "$src/stray-$$.txt")
trap 'rm -rf "$work" "${stray[@]}"' EXIT

echo "== the sdist from git's export"
sdist="$(scripts/sdist.sh --out "$work/dist" | tail -n 1)"
echo "== the sdist from the working tree, stray files beside"
mkdir -p "${stray[0]}/lib" && touch "${stray[0]}/lib/x.py" "${stray[1]}"
.venv-wheels/bin/python -m build --sdist --outdir "$work/tree-dist" . >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
rm -rf "${stray[@]}"
tar -tzf "$work"/tree-dist/*.tar.gz | sed 's,^[^/]*/,,' | LC_ALL=C sort >"$work/packed"
# Every tracked file, and no stray (a file of one's own work in progress
# beside the tracked ones would be packed too, as it should).
missing="$(git ls-files | LC_ALL=C sort | comm -23 - "$work/packed")"
strays="$(grep -e "^${stray[0]##*/}/" -e "^${stray[1]##*/}\$" "$work/packed" || true)"
if [[ -n "$missing$strays" ]]; then
    echo "check-packaging.sh: the sdist from the working tree lacks tracked files or holds strays:" $missing $strays >&2
    exit 1
fi

echo "== pip install .[docs] on Python 3.8, a dry run"
py38="$(ls -d "$root"/versions/3.8.*/bin/python3.8 | sort -V | tail -n 1)"
if ! "$py38" -m pip install -q --dry-run --ignore-installed ".[docs]" >"$work/docs.log" 2>&1; then
    tail -n 5 "$work/docs.log" >&2
    echo "check-packaging.sh: pip install .[docs] fails on Python 3.8" >&2
    exit 1
fi

venv="$work/venv"
"$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "pybind11==$other_pybind11"
for what in . "$sdist"; do
    echo "== pip install $what, beside pybind11 $other_pybind11"
    if ! "$venv/bin/python" -m pip install -v --force-reinstall --no-deps "$what" >"$work/install.log" 2>&1; then
        grep -E 'pybind11|error' "$work/install.log" | tail -n 20 >&2
        echo "check-packaging.sh: pip install $what failed beside pybind11 $other_pybind11" >&2
        exit 1
    fi
    grep -o 'Found pybind11: .*' "$work/install.log"
    (cd "$work" && "$venv/bin/python" -c 'import orbelon_core; print(orbelon_core.Scalar(2.0, 1.0) ** 3)')
done

echo "== the suite, against the sdist's install"
mapfile -t test_req < <(scripts/dev.sh extra test)
"$venv/bin/python" -m pip install -q "${test_req[@]}"
if [[ -x .venv-tools/bin/python ]]; then export ORBELON_TYPECHECK_PYTHON="$src/.venv-tools/bin/python"; fi
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
