#!/usr/bin/env bash
# Installs, with apt, whatever the given presets need and this machine lacks.
set -eu
need=(cmake ninja-build g++ googletest libgtest-dev pkgconf)
for preset in "$@"; do
    case $preset in
        # The Python package: its wheel (pip, setuptools, wheel; offline), its tests in a
        # virtual environment (venv, pytest) and the chart's test (matplotlib). The Debian
        # packages: CPack runs file, dpkg-shlibdeps, readelf and objcopy; the install test runs
        # lintian, and man (with groff) renders the manual pages.
        native) need+=(python3 python3-pytest python3-matplotlib python3-pip python3-setuptools
                       python3-wheel python3-venv file dpkg-dev binutils lintian man-db
                       groff-base) ;;
        asan|tsan|fuzz) need+=(clang libclang-rt-14-dev) ;;
        mingw) need+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
        bench) need+=(libnng-dev libzmq3-dev pkg-config python3 python3-matplotlib) ;;
    esac
done
missing=()
for pkg in "${need[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root, or install these packages first: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
