# trees.sh — the CMake configure steps of run.sh and test.sh, sourced by both and
# by tests/readme_order.sh. Each script owns its build tree and states its build
# type and warning policy, so running one never changes how the other builds:
# run.sh builds Release into build/ with warnings as warnings, test.sh builds
# RelWithDebInfo into build-test/ with warnings as errors.

# The tree `bash scripts/run.sh` builds vorel-server in.
configure_run_tree() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOREL_WERROR=OFF "$@"
}

# The Linux tree `bash scripts/test.sh` builds and tests.
configure_test_tree() {
  cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON "$@"
}
