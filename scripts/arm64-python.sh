#!/usr/bin/env bash
# An aarch64 CPython that runs on this x86-64 machine, for testing the aarch64
# wheels: Debian's own python3.11 for arm64, unpacked into a folder of its
# own (the "sysroot") and run by qemu's user-mode emulator. Prints the
# interpreter's path; run it with QEMU_LD_PREFIX set to the sysroot
# (printed on the second line), so that the emulator finds the arm64 loader
# and libraries there.
#
#   scripts/arm64-python.sh          set up what is missing, print the two paths
#
# What it needs, and installs when missing (as root, on Debian):
# - qemu-user-static, and the kernel's binfmt_misc entry for aarch64 that it
#   registers, so that an aarch64 program is run by the emulator whenever it
#   is started, also by another program (the suite starts child
#   interpreters);
# - the interpreter and the libraries it needs, downloaded by apt from
#   Debian's arm64 archive through a private state folder: the machine's own
#   apt setup and its installed packages are left as they are, and nothing
#   runs as root inside the sysroot.
#
# The sysroot lives in ~/.cache/orbelon-arm64 (about 100 MB), made once and
# shared by every clone. How the aarch64 wheels are tested: docs/wheels.md.
set -euo pipefail
cache="${XDG_CACHE_HOME:-$HOME/.cache}/orbelon-arm64"
sysroot="$cache/root" python="$cache/root/usr/bin/python3.11"
# libstdc++6: the suite's numpy and matplotlib wheels take the C++ runtime
# from the system, as manylinux wheels may.
packages=(python3.11 python3.11-venv libstdc++6)

say() { echo "arm64-python.sh: $*" >&2; }

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

if [[ "$(cat "$cache/done" 2>/dev/null)" != "${packages[*]}" ]]; then
    say "downloading Debian's arm64 ${packages[*]} into $sysroot"
    rm -rf "$cache"
    mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/apt/preferences.d" "$sysroot"
    touch "$cache/apt/status"
    # An apt of its own: arm64 only, its own lists and an empty list of
    # installed packages, so that it resolves every library the interpreter
    # needs and downloads them without touching the machine's own state.
    apt=(apt-get -q -o APT::Architecture=arm64 -o "APT::Architectures::=arm64"
         -o Dir::State="$cache/apt" -o Dir::State::status="$cache/apt/status"
         -o Dir::Cache="$cache/apt" -o Dir::Etc::preferencesparts="$cache/apt/preferences.d"
         -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    "${apt[@]}" update >&2
    "${apt[@]}" install -y --download-only --no-install-recommends "${packages[@]}" >&2
    for deb in "$cache"/apt/archives/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    rm -rf "$cache/apt"
    # Debian compiles the standard library when it installs the package;
    # done once here, so that every emulated start need not compile it again.
    say "compiling the standard library under emulation (a minute or two)"
    QEMU_LD_PREFIX="$sysroot" "$python" -m compileall -q -j 0 "$sysroot/usr/lib/python3.11" >/dev/null || true
    echo "${packages[*]}" >"$cache/done"
fi
echo "$python"
echo "$sysroot"
