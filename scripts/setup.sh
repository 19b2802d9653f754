#!/usr/bin/env bash
# Installs the Debian packages the build needs, and any named as arguments
# (the fuzz and peer scripts add theirs); only missing ones are fetched.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(g++ make cmake libeigen3-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev libtinyobjloader-dev
          libcli11-dev libpng-dev libopenvdb-dev libboost-iostreams-dev python3 "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The iso-surface's standard marching-cubes table is read from one header of
# Debian's libpcl-dev package, which is downloaded (not installed) into .deps/.
deps="$root/.deps"
pattern='*/pcl/surface/marching_cubes.h'
if ! compgen -G "/usr/include/pcl-*/pcl/surface/marching_cubes.h" >/dev/null &&
   ! compgen -G "$deps/usr/include/pcl-*/pcl/surface/marching_cubes.h" >/dev/null; then
  mkdir -p "$deps"
  if ! compgen -G "$deps/libpcl-dev_*.deb" >/dev/null; then
    (cd "$deps" && { apt-get download libpcl-dev 2>/dev/null || { $sudo apt-get update -qq && apt-get download libpcl-dev; }; })
  fi
  deb=$(compgen -G "$deps/libpcl-dev_*.deb" | head -n 1)
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$deps" --wildcards "$pattern"
fi
