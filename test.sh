#!/usr/bin/env bash
# Builds everything in build/ (tests included) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")"
# shellcheck source=scripts/packages.sh
source scripts/packages.sh


install_packages "${BUILD_PACKAGES[@]}" ffmpeg lame flac
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_TESTS=ON
cmake --build build
ctest --test-dir build --output-on-failure
