# Sourced by the benchmarks: builds what they need in BUILD_DIR (targets
# given) and the library and crash host again with step times in
# BUILD_DIR-steps, then sets up Wine in BUILD_DIR's prefix.
#   . bench/steps_build.sh ROOT BUILD_DIR TARGET...
bench_root="$1"
bench_build="$2"
shift 2
"$bench_root/scripts/build.sh" "$bench_build" "$@" >/dev/null
# The crash host comes with the tests' programs (BUILD_TESTING); only the two
# targets are built.
cmake -S "$bench_root" --preset x86 -B "$bench_build-steps" -DRUXTRAP_STEP_TIMES=ON >/dev/null
cmake --build "$bench_build-steps" -j"$(nproc)" --target Ruxtrap crash_host >/dev/null
. "$bench_root/scripts/wine-env.sh" "$bench_build/wineprefix"
ensure_wine_prefix
start_wineserver
