#!/usr/bin/env bash
# Build the source distribution from what git tracks at HEAD, into dist/
# (or the folder given), and check that it holds exactly that: every tracked
# file, and nothing else but the PKG-INFO every sdist carries.
#
#   scripts/sdist.sh              dist/orbelon_core-VERSION.tar.gz
#   scripts/sdist.sh --out DIR    into DIR
#
# The build starts from git's export of the commit (git archive), so files
# that lie in the checkout without being tracked cannot get in, whatever
# pyproject.toml's rules say. Timestamps come from the commit
# (SOURCE_DATE_EPOCH), so the same commit gives the same bytes. The last line
# printed is the sdist's path.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
out="$src/dist"
while (($#)); do
    case "$1" in
        --out) out="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
        *) echo "sdist.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
mkdir -p "$out"

# The build frontend runs from the newest pyenv interpreter's venv that
# scripts/wheels.sh also uses for its tools.
tools="$src/.venv-wheels"
if [[ ! -x "$tools/bin/python" ]]; then
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    "$(ls -d "$root"/versions/3.13.*/bin/python3.13 | sort -V | tail -n 1)" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
fi
"$tools/bin/python" -m pip install -q "build>=1.2"

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
mkdir "$tree"
git archive --format=tar HEAD | tar -x -C "$tree"
"$tools/bin/python" -m build --sdist --outdir "$work/dist" "$tree" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
sdist="$(ls "$work"/dist/*.tar.gz)"

# Exactly the tracked files: none missing (an entry pyproject.toml's rules
# leave out), none more (a file that lay in the checkout).
git ls-files | LC_ALL=C sort >"$work/tracked"
tar -tzf "$sdist" | sed 's,^[^/]*/,,' | grep -v -x -e PKG-INFO -e '' | LC_ALL=C sort >"$work/packed"
if ! diff -u "$work/tracked" "$work/packed" >"$work/diff"; then
    echo "sdist.sh: $(basename "$sdist") does not hold exactly the files git tracks (- missing, + extra):" >&2
    grep -E '^[-+][^-+]' "$work/diff" >&2
    exit 1
fi
mv "$sdist" "$out/"
echo "sdist.sh: $(wc -l <"$work/packed") files, $(stat -c %s "$out/$(basename "$sdist")") bytes" >&2
echo "$out/$(basename "$sdist")"
