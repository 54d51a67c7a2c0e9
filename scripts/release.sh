#!/usr/bin/env bash
# The release, from a clean tree: the sdist from what git tracks at HEAD, and
# from that sdist the wheels for CPython 3.8 to 3.15 on x86-64 and aarch64
# (manylinux2014), reproducibly, each checked and every one that can run here
# tested. Everything lands in dist/, which it empties first.
#
#   scripts/release.sh              the whole release, about 45 minutes here
#   scripts/release.sh -- ARG...    ARGs go to pytest in every wheel's suite
#
# It refuses to run when git sees a change not committed (an untracked file
# included), and when CHANGELOG.md's top section does not name the version
# pyproject.toml builds: a release says what it is. The timestamps in every
# file are the last commit's (SOURCE_DATE_EPOCH), so the same commit gives
# the same bytes. Steps:
#
#   1. scripts/sdist.sh: the sdist, checked to hold exactly the tracked files;
#   2. scripts/wheels.sh --sdist: sixteen wheels built from the sdist as a
#      packager would, each repaired and checked by auditwheel, the x86-64
#      ones and the aarch64 Python 3.11 and 3.15 ones (under emulation) each
#      running the whole suite from a fresh environment;
#   3. twine check --strict over all seventeen files, and their digests
#      (dist/SHA256SUMS).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -n "$(git status --porcelain)" ]]; then
    echo "release.sh: the tree has changes that are not committed:" >&2
    git status --short >&2
    exit 1
fi
version="$(sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml)"
top="$(sed -n 's/^## //p' CHANGELOG.md | head -n 1)"
if [[ "$top" != "$version" ]]; then
    echo "release.sh: pyproject.toml builds $version, but the top section of CHANGELOG.md is \"$top\":" \
         "give the release its section (## $version)" >&2
    exit 1
fi
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)"
echo "== orbelon_core $version, commit $(git rev-parse --short HEAD), dated $(date -u -d "@$SOURCE_DATE_EPOCH" +%F)"

rm -rf dist
sdist="$(scripts/sdist.sh | tail -n 1)"
status=0
scripts/wheels.sh --sdist "$sdist" "$@" || status=$?

.venv-wheels/bin/twine check --strict dist/*
(cd dist && sha256sum -- * >SHA256SUMS)
echo
echo "== dist/"
ls -l dist
if ((status)); then echo "release.sh: a wheel failed its suite (see above)" >&2; fi
exit "$status"
