#!/usr/bin/env bash
# Installs every package the project needs on Debian 12 (run as root) and builds both trees,
# the MSI package included (build/win/VekUsbService-<version>.msi, with wixl).
#   scripts/setup.sh            install, then build
#   scripts/setup.sh --no-install   build only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TULVO_BUILD_DIR:-$root/build}

packages=(cmake make g++ clang libclang-rt-14-dev googletest cppcheck clang-format python3
          g++-mingw-w64-x86-64-posix wine64 wine wixl)

if [ "${1:-}" != "--no-install" ]; then
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
fi

jobs=$(nproc)
werror=${TULVO_WERROR:-ON}

echo "== configuring and building the host tree ($build/host)"
cmake -S "$root" -B "$build/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DTULVO_WERROR="$werror" -DTULVO_SANITIZE=ON -DTULVO_FUZZ=ON >/dev/null
cmake --build "$build/host" -j "$jobs"

echo "== configuring and building the Windows tree ($build/win)"
cmake -S "$root" -B "$build/win" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DTULVO_WERROR="$werror" >/dev/null
cmake --build "$build/win" -j "$jobs"
echo "== build done"
