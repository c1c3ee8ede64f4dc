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
# The arm64 cross-build (tools/run-tests.sh arm64): the cross compiler, qemu-user to run the
# tests, GoogleTest's sources to build it for the target, and the target's libraries and the
# C and C++ runtime the tests run on as Debian's arm64 packages through multiarch.
QOR_ARM64_PACKAGES=(cmake ninja-build pkg-config ccache g++-aarch64-linux-gnu qemu-user googletest
    libc6:arm64 libstdc++6:arm64 libusb-1.0-0-dev:arm64 libbenchmark-dev:arm64)

qor_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the given Debian packages are missing. A name NAME:ARCH of another
# architecture (libusb-1.0-0-dev:arm64) is installed through multiarch: the architecture is
# added to dpkg's when it is not there yet, and nothing already installed may be removed for it.
qor_install_packages() {
    local missing=() extra=() arch
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    for pkg in "${missing[@]}"; do
        [[ $pkg == *:* ]] || continue
        arch=${pkg##*:}
        extra=(--no-remove)
        if [ "$arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            qor_as_root dpkg --add-architecture "$arch"
        fi
    done
    qor_as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive qor_as_root apt-get install -y -qq --no-install-recommends \
        "${extra[@]}" "${missing[@]}"
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
