#!/usr/bin/env bash
# Installs the Debian packages korvane needs that are not installed yet.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  librdkit-dev rdkit-data libboost-dev libeigen3-dev libinchi-dev
  liblapack-dev  # the LPI's eigenvalues: the LAPACK that NumPy's linalg calls
  pybind11-dev python3-dev python3-venv
  libgtest-dev
  python3-rdkit python3-numpy python3-networkx python3-matplotlib python3-requests
  python3-pytest python3-pytest-timeout python3-hypothesis
  chromium chromium-driver python3-selenium  # the report page's tests in a headless browser
  python3-tqdm python3-distributed  # the korvane command's progress bar, Dask clusters
  python3-scipy  # bench/identification.py fits the learned score's weights
  clang libclang-rt-14-dev  # the libFuzzer harness (make fuzz)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
