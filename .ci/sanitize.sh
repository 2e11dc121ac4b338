#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment and runs the whole test suite against it
# with the sanitizer runtime preloaded. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv build/venv-asan
# shellcheck disable=SC1091
. build/venv-asan/bin/activate
# No build isolation (the build tree is kept apart instead), so the build
# tools come in here.
python -m pip install "scikit-build-core>=0.11" "pybind11>=2.13.6,<2.14" "cmake>=3.18" ninja \
  numpy pytest hypothesis
TOVALIB_SANITIZE=ON TOVALIB_WERROR=ON python -m pip install --no-build-isolation -Cbuild-dir=build/asan .

# The interpreter is not instrumented, so the runtime must be loaded first;
# libstdc++ comes along so that the runtime can intercept C++ throws.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
for lib in $LD_PRELOAD; do
  [ -e "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done
export LD_PRELOAD
# allocator_may_return_null: NumPy reports failed huge allocations as
# MemoryError, as it does without the sanitizer.
asan="halt_on_error=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Every Python object through malloc, so the leak checker can follow them.
export PYTHONMALLOC=malloc

# --capture=sys: a report written to file descriptor 2 must reach the log,
# not pytest's capture file.
echo "== whole suite under AddressSanitizer and UBSan"
ASAN_OPTIONS="$asan:detect_leaks=0" python -m pytest -p no:cacheprovider --capture=sys -q

# Leaks, on the tests that drive the module directly. Full unwinding gives
# every allocation its whole stack, which the suppressions are matched
# against; it is slow, so the example scripts and the long randomised runs
# stay out of this pass.
echo "== leak check"
leak_tests=()
for name in adversarial construction module request selection driver reentrancy; do
  [ -e "tests/test_$name.py" ] && leak_tests+=("tests/test_$name.py")
done
ASAN_OPTIONS="$asan:detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=60" \
  LSAN_OPTIONS="suppressions=$PWD/.ci/lsan.supp:print_suppressions=0" \
  python -m pytest -p no:cacheprovider --capture=sys -q "${leak_tests[@]}"
