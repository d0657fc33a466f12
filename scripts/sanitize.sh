#!/usr/bin/env bash
# Builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer (leak checks
# included) into build-asan/ and runs the whole test suite under them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-asan}
"$root/scripts/setup.sh"
BUILD_DIR=$build "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Debug \
    -DFWUPGRADE_SANITIZE=address,undefined -DFWUPGRADE_WERROR=ON
export QT_QPA_PLATFORM=offscreen
# Every connect stays on this machine, in the package check too.
export FWUPGRADE_LOOPBACK_ONLY=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp
cd "$build"
# The package check builds and starts a release package; it has no place in this run.
ctest --output-on-failure --parallel "$(nproc)" -E package_check "$@"
