#!/bin/sh
# Line and branch coverage of the project's own sources (the plugin and the
# project's tools) by the whole test suite: builds every target with gcc's
# coverage instrumentation in build/coverage, runs the suite there and
# prints the report (gcovr). An HTML report with every line goes to
# build/coverage/report/index.html.
#
# As root the integration tests run TShark as the user nobody, with the
# plugin copied into a temporary HOME: every test process writes its
# coverage data under one world-writable folder (GCOV_PREFIX), from where it
# is put back beside the objects it belongs to.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
build="$src/build/coverage"

VALTOCRANE_EXTRA_PACKAGES="gcovr" scripts/setup.sh
cmake -S . -B "$build" -DVALTOCRANE_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug \
      -DVALTOCRANE_WERROR=ON -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel 2 >/dev/null

find "$build" -name '*.gcda' -delete
prefix=$(mktemp -d /tmp/valtocrane-coverage.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
chmod 1777 "$prefix"

# The brief in-process fuzz run builds with clang, which gcc's report
# cannot read: it is the one entry left out.
status=0
(umask 000 && GCOV_PREFIX="$prefix" ctest --test-dir "$build" --parallel 2 \
     --output-on-failure --no-tests=error -E '^fuzz[.]') || status=$?
[ ! -d "$prefix$build" ] || cp -r "$prefix$build/." "$build/"

mkdir -p "$build/report"
# Branches in the table: --branches before gcovr 7, --txt-metric from then on.
branches="--branches"
gcovr --help | grep -q -- --txt-metric && branches="--txt-metric branch"
# The project's own sources (the plugin, the tools), not the tests; the
# benchmark's preload helper is no part of what the suite tests.
# shellcheck disable=SC2086
gcovr --root "$src" --object-directory "$build" --filter "$src/" \
      --exclude "$src/tests/" --exclude "$src/build/" --exclude "$src/tools/fixed-seed.cpp" \
      --exclude-unreachable-branches --exclude-throw-branches \
      --html-details "$build/report/index.html" \
      --txt - $branches --print-summary
[ "$status" -eq 0 ] || echo "the test suite failed (ctest exited $status): the figures count what ran" >&2
exit "$status"
