# Shared set-up of the run and test scripts: Debian packages, configure, build.
# Sourced, not run.

QOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages the library, the programs and the tests need.
QOR_PACKAGES=(g++ cmake ninja-build pkg-config ccache libgtest-dev libpng-dev libusb-1.0-0-dev
    umockdev libumockdev-dev libcli11-dev libcfitsio-dev libtiff-dev)
# The tests read the capture files back with readers of their own.
QOR_TEST_PACKAGES=(fitsverify python3-astropy python3-pil libtiff-tools)
# The fuzz targets are built with clang and its libFuzzer runtime.
QOR_FUZZ_PACKAGES=(clang libclang-rt-dev)
# The benchmarks compare against OpenCV and use Google Benchmark.
QOR_BENCH_PACKAGES=(libbenchmark-dev libopencv-imgproc-dev)

qor_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the given Debian packages are missing.
qor_install_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    qor_as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive qor_as_root apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# qor_configure DIR [cmake options...]: configures DIR (once; later calls keep its cache), with
# warnings as errors and through ccache, so that repeated builds (CI, sanitizer runs) are quick.
qor_configure() {
    local dir=$1
    shift
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$QOR_ROOT" -B "$dir" -G Ninja -DQORVANTA_WERROR=ON "${launcher[@]}" "$@" >/dev/null
}

# qor_build DIR [cmake options...]: configures DIR and builds everything in it.
qor_build() {
    qor_configure "$@"
    cmake --build "$1" -j "$(nproc)"
}

# qor_build_targets DIR TARGET...: configures DIR and builds only the given targets and what
# they need (a program without the test suite).
qor_build_targets() {
    local dir=$1
    shift
    qor_configure "$dir"
    cmake --build "$dir" -j "$(nproc)" --target "$@"
}
