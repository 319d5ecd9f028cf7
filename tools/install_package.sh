#!/usr/bin/env bash
# Installs the package's dependencies in the background while the extension compiles in the
# foreground (downloading and unpacking wheels hardly competes with the compiler for the cores),
# then waits for both. Each part's time goes to the summary of tools/step.sh. The extension is
# built in BUILD_DIR; with CPP_TESTS=ON the core's C++ tests are built there too, from the same
# objects.
#   tools/install_package.sh PYTHON REQUIREMENTS [BUILD_DIR] [CPP_TESTS]
set -uo pipefail
python=$1
requirements=$2
build_dir=${3:-build/ext}
cpp_tests=${4:-OFF}
log=${VOLLAN_STEP_LOG:-build/steps.log}
mkdir -p build

now() { date +%s%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'; }

echo "== installing dependencies in the background (log in build/dependencies.log)"
started=$(now)
("$python" -m pip install -q -r "$requirements" >build/dependencies.log 2>&1; echo $? >build/dependencies.status; now >build/dependencies.end) &
deps=$!

echo "== compiling the extension (full log in build/extension.log)"
compile_started=$(now)
# The checkout's own build folder keeps the objects between runs of make; a plain
# `pip install .` builds in a temporary folder of its own instead (no build-dir in pyproject).
tools/build_extension.sh "$python" build/extension.log "-Cbuild-dir=$build_dir" \
    "-Ccmake.define.VOLLAN_BUILD_TESTS=$cpp_tests"
compiled=$?
compile_ended=$(now)

wait "$deps"
if [ "$(cat build/dependencies.status)" != 0 ]; then
    echo "--- installing the dependencies failed; the end of build/dependencies.log:" >&2
    tail -n 40 build/dependencies.log >&2
    exit 1
fi
[ "$compiled" -eq 0 ] || exit "$compiled"
printf '%s\t%s\n' "$(seconds "$started" "$(cat build/dependencies.end)")" \
    "installing dependencies (while compiling)" >>"$log"
printf '%s\t%s\n' "$(seconds "$compile_started" "$compile_ended")" "compiling the extension" >>"$log"
