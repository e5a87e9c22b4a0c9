#!/bin/sh
# Configures and builds the plugin and its tests in build/, warnings as errors.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DVALTOCRANE_WERROR=ON -DBUILD_TESTING=ON
cmake --build build --parallel
