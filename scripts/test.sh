#!/usr/bin/env bash
# Installs what the build needs (when run as root with apt-get), then builds and runs every
# test: the native suite under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of
# each fuzzing harness, then the Windows build (MinGW-w64, static) with the same suite under Wine
# (signed self-applying patches included), and last a check that two builds of the commit in
# different folders give the same executables.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/install-packages.sh
install_packages cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64 wine64 clang libclang-rt-14-dev \
    groff-base osslsigncode openssl libxxhash-dev

cmake --workflow --preset debug
# A short run of every fuzzing harness (skipped with a message where clang++ is missing).
MORVANE_FUZZ_PARALLEL=2 fuzz/run.sh smoke
cmake --workflow --preset windows
scripts/check-reproducible.sh
