#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing).
set -euo pipefail
packages=(
    cmake make g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    # libsndfile also writes and reads MP3 and Ogg Vorbis (the ladder's lossy copies)
    liballegro4-dev libsndfile1-dev zlib1g-dev
    groff-base
    xvfb xauth xdotool imagemagick
    clang libclang-rt-14-dev
    sox
    nlohmann-json3-dev libvalijson-dev chromium fonts-dejavu-core
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
