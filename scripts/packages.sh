# shellcheck shell=bash
# Sourced by the build scripts: installs, with apt-get on Debian, those of the packages given that
# are missing (through sudo when not root). Its own output goes to stderr, so that a script's
# stdout stays what the program prints.
install_packages() {
  local missing=() p status
  for p in "$@"; do
    status=$(dpkg -s "$p" 2>/dev/null || true)
    [[ $status == *"Status: install ok installed"* ]] || missing+=("$p")
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "== Installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}" >&2
}

# What building and testing quarnel needs.
# shellcheck disable=SC2034  # used by the scripts that source this file
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config zlib1g-dev libbz2-dev libgtest-dev
  libbenchmark-dev qt6-base-dev libxcb1-dev libssl-dev libpugixml-dev nlohmann-json3-dev
  libmpg123-dev libzip-dev libflac-dev)

# What the fuzzing build adds: clang with its libFuzzer and sanitizer runtimes, and the symbolizer
# that turns a report's addresses into file and line.
# shellcheck disable=SC2034
FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm-14)
