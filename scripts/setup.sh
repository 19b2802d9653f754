#!/usr/bin/env bash
# Installs the Debian packages the build needs; only missing ones are fetched.
set -euo pipefail

packages=(g++ make cmake libeigen3-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev libtinyobjloader-dev
          libcli11-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
