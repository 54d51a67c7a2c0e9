#!/usr/bin/env bash
# A CPython that pyenv does not have here, taken from Debian's packages and
# unpacked into a folder of its own: Python 3.11 from the machine's own suite,
# and 3.14, 3.15 and the 3.14 debug build from Debian's development suite,
# sid. For x86-64, run on this machine directly; for aarch64, run by qemu's
# user-mode emulator (for testing the aarch64 wheels).
#
#   scripts/debian-python.sh VERSION [ARCH]
#
# VERSION is 3.11, 3.14, 3.15 or 3.14d (the debug build, python3.14d); ARCH
# is x86_64 (the default) or aarch64. Sets up what is missing, then prints
# the interpreter's path; for aarch64 also the sysroot, on a second line: run
# the interpreter with QEMU_LD_PREFIX set to it, so that the emulator finds
# the arm64 loader and libraries there.
#
# What it needs, and installs when missing (as root, on Debian):
# - for aarch64, qemu-user-static, and the kernel's binfmt_misc entry for
#   aarch64 that it registers, so that an aarch64 program is run by the
#   emulator whenever it is started, also by another program (the suite
#   starts child interpreters);
# - for x86-64, patchelf: sid's interpreter needs a newer C library than the
#   machine's, so it is pointed at the folder's own loader and libraries;
# - the interpreter and the libraries it needs, downloaded by apt through a
#   private state folder: the machine's own apt setup and its installed
#   packages are left as they are, and nothing runs as root inside the folder.
#
# Each interpreter lives in ~/.cache/orbelon-python/VERSION-ARCH (100 to
# 400 MB, the debug build the largest), made once and shared by every
# clone. How the aarch64 wheels are tested: docs/wheels.md; how
# scripts/dev.sh uses the x86-64 ones: its header.
set -euo pipefail

say() { echo "debian-python.sh: $*" >&2; }

version="${1:-}" arch="${2:-x86_64}"
case "$version" in
    3.11|3.14|3.15) minor="$version" debug="" ;;
    3.14d) minor=3.14 debug=d ;;
    *) echo "usage: scripts/debian-python.sh 3.11|3.14|3.15|3.14d [x86_64|aarch64]" >&2; exit 2 ;;
esac
case "$arch" in
    x86_64) deb_arch=amd64 triplet=x86_64-linux-gnu loader=ld-linux-x86-64.so.2 ;;
    aarch64) deb_arch=arm64 triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 ;;
    *) echo "debian-python.sh: ARCH is x86_64 or aarch64, not $arch" >&2; exit 2 ;;
esac

cache="${XDG_CACHE_HOME:-$HOME/.cache}/orbelon-python/$version-$arch"
sysroot="$cache/root"
python="$sysroot/usr/bin/python$minor$debug"
# 3.11 is the machine's own suite's Python (Debian 12's), the others are
# only in the development suite.
. /etc/os-release
suite="$VERSION_CODENAME"
if [[ "$minor" != 3.11 ]]; then suite=sid; fi

# libstdc++6: the suite's numpy and matplotlib wheels take the C++ runtime
# from the system, as manylinux wheels may; from the folder, it is the one
# that matches the folder's C library.
packages=("python$minor" "python$minor-venv" libstdc++6)
if [[ "$arch" == x86_64 ]]; then
    # The headers and python3.X-config: the module is built against them.
    packages+=("python$minor-dev" "libpython$minor-dev")
fi
if [[ -n "$debug" ]]; then
    packages+=("python$minor-dbg" "libpython$minor-dbg")
fi
# The stamp changes with the way the folder is set up, so that a folder
# made an older way is made again.
stamp="$suite ${packages[*]} (wheels in the folder)"

# Two runs setting up the same folder at once (two clones, or a suite and a
# benchmark) would undo each other's work: the second waits here for the
# first, then finds everything made. The lock lies beside the folder, which
# is removed and made again.
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9

if [[ "$arch" == aarch64 ]]; then
    if ! command -v qemu-aarch64-static >/dev/null || ! command -v update-binfmts >/dev/null; then
        say "installing qemu-user-static and binfmt-support"
        apt-get update -q >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static binfmt-support >&2
    fi
    if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
        update-binfmts --enable qemu-aarch64
    fi
elif ! command -v patchelf >/dev/null; then
    say "installing patchelf"
    apt-get update -q >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q patchelf >&2
fi

# run_python ARG...: the folder's interpreter, under emulation for aarch64.
run_python() {
    if [[ "$arch" == aarch64 ]]; then
        QEMU_LD_PREFIX="$sysroot" "$python" "$@"
    else
        "$python" "$@"
    fi
}

if [[ "$(cat "$cache/done" 2>/dev/null)" != "$stamp" ]]; then
    say "downloading Debian's $suite $deb_arch ${packages[*]} into $sysroot"
    rm -rf "$cache"
    mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/apt/preferences.d" \
             "$cache/apt/sources.list.d" "$sysroot"
    touch "$cache/apt/status"
    # An apt of its own: one architecture only, its own lists and an empty
    # list of installed packages, so that it resolves every library the
    # interpreter needs (the C library included) and downloads them without
    # touching the machine's own state.
    apt=(apt-get -q -o APT::Architecture="$deb_arch" -o "APT::Architectures::=$deb_arch"
         -o Dir::State="$cache/apt" -o Dir::State::status="$cache/apt/status"
         -o Dir::Cache="$cache/apt" -o Dir::Etc::preferencesparts="$cache/apt/preferences.d"
         -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    if [[ "$suite" == sid ]]; then
        # The development suite, from the registry that serves the machine's
        # own suite, in place of the machine's sources.
        registry="$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' |
                    awk -v own="$VERSION_CODENAME" '$1 == own { print $2; exit }')"
        if [[ -z "$registry" ]]; then
            say "no apt source of the machine serves $VERSION_CODENAME; cannot tell where sid is"
            exit 1
        fi
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $registry sid main" \
            >"$cache/apt/sources.list"
        apt+=(-o Dir::Etc::sourcelist="$cache/apt/sources.list"
              -o Dir::Etc::sourceparts="$cache/apt/sources.list.d")
    fi
    "${apt[@]}" update >&2
    "${apt[@]}" install -y --download-only --no-install-recommends "${packages[@]}" >&2
    for deb in "$cache"/apt/archives/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    rm -rf "$cache/apt"
    # sid's packages keep the loader in usr/lib only; the emulator looks for
    # it in lib, as the binaries name it.
    if [[ ! -e "$sysroot/lib" ]]; then ln -s usr/lib "$sysroot/lib"; fi
    if [[ "$arch" == x86_64 ]]; then
        # The interpreter is run by the folder's own loader with the folder's
        # libraries first. DT_RPATH, not DT_RUNPATH: the standard library's
        # extension modules (_ssl, _ctypes) inherit it and so find the
        # folder's libraries, not the machine's older ones.
        ld="$(find "$sysroot/usr/lib/$triplet" "$sysroot/lib/$triplet" -name "$loader" -print -quit)"
        ld="$(readlink -f "$ld")"
        say "pointing $(basename "$python") at the folder's loader and libraries"
        patchelf --set-interpreter "$ld" --force-rpath \
                 --set-rpath "$sysroot/usr/lib/$triplet:$sysroot/lib/$triplet" "$(readlink -f "$python")"
        # Debian's pyconfig.h is a wrapper that includes the one for the
        # architecture by an angle-bracket path, found only under
        # /usr/include; the real one in its place keeps the folder's headers
        # self-contained. The debug build's header folder is mostly links to
        # the release build's, whose own pyconfig.h is then read too: it gets
        # the debug build's as well, so that a module built here has the
        # debug ABI whether or not its build system defines Py_DEBUG.
        for dir in "python$minor" "python$minor$debug"; do
            cp "$sysroot/usr/include/$triplet/python$minor$debug/pyconfig.h" \
               "$sysroot/usr/include/$dir/pyconfig.h"
        done
    fi
    # sysconfig's paths follow the interpreter into the folder, but its
    # build variables are the ones recorded when Debian built it, under /usr:
    # a build tool reading INCLUDEPY, LIBPL or the -I flags would take the
    # machine's headers of the same version, if it has any, and ensurepip
    # (python -m venv) would take the pip wheel of WHEEL_PKG_DIR from the
    # machine's own Debian, too old for a newer Python. Both are pointed at
    # the folder, which has sid's pip wheel.
    sed -i -E -e "s#(['\" ]|-I|-L)/usr/(include/python3|lib/python3)#\\1$sysroot/usr/\\2#g" \
              -e "s#(['\"])/usr/share/python-wheels#\\1$sysroot/usr/share/python-wheels#g" \
        "$sysroot/usr/lib/python$minor"/_sysconfig*
    # Debian compiles the standard library when it installs the package;
    # done once here, so that every start need not compile it again.
    if [[ "$arch" == aarch64 ]]; then say "compiling the standard library under emulation (a minute or two)"
    else say "compiling the standard library"; fi
    run_python -m compileall -q -j 0 "$sysroot/usr/lib/python$minor" >/dev/null || true
    echo "$stamp" >"$cache/done"
fi
echo "$python"
if [[ "$arch" == aarch64 ]]; then echo "$sysroot"; fi
