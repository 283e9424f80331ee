#!/usr/bin/env bash
# Makes sure the Debian packages a build needs are installed: installs the
# missing ones when run as root, otherwise names them and fails.
#   cmake/install-deps.sh [native] [windows] [fuzz] [demo] [python]
set -euo pipefail

packages=()
for group in "${@:-native}"; do
  case "$group" in
    demo) packages+=(cmake make g++ pkg-config libstb-dev googletest libgtest-dev) ;;
    # Mono and Python run the C# and Python binding tests.
    # cjpeg (libjpeg-turbo-progs) writes the JPEG decoder test's fixtures;
    # zlib (zlib1g-dev, linked into that test alone) the PNG decoder test's.
    native) packages+=(cmake make g++ pkg-config libstb-dev googletest libgtest-dev mono-mcs mono-runtime python3
                       libjpeg-turbo-progs zlib1g-dev) ;;
    # llvm-14: dlltool for the MSVC import library, nm and readobj to check it
    # and the version resource; clang-14 and lld-14 link a program against it.
    windows) packages+=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 googletest libstb-dev
                        llvm-14 clang-14 lld-14 python3 libjpeg-turbo-progs) ;;
    # Wheels built offline with Debian's build tools, installed into venvs
    # with pip; Dask's distributed scheduler for the batch example.
    python) packages+=(python3 python3-build python3-setuptools python3-wheel python3-venv python3-pip
                       python3-distributed binutils) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev libfuzzer-14-dev libjpeg-turbo-progs) ;;
    *) echo "install-deps: unknown group $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
