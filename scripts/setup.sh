#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: packages that
# are already there are left alone, and the package lists are only fetched
# when something is missing.
set -euo pipefail

packages=(
  # toolchain and test tools
  build-essential cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang-format
  # libraries
  libmspack-dev zlib1g-dev libcurl4-openssl-dev libsodium-dev libzstd-dev
  libfreetype-dev libfontconfig-dev libpng-dev fonts-dejavu-core fonts-dejavu-extra
  # real windows: the toolkit, a CJK font for the Chinese texts, and a
  # virtual display with its tools and synthetic input (XTEST) for the
  # window tests
  libfltk1.3-dev libxtst-dev fonts-wqy-zenhei xvfb xauth x11-utils
  # real peers used by the tests and benchmarks: the SZDD compressor, a PE
  # toolchain that builds Windows programs with version resources, cabinet
  # makers and unpackers, an FTP server and curl
  mscompress binutils-mingw-w64-i686 gcab cabextract python3 python3-pyftpdlib curl openssl
  # the publishers' signing tool, whose keys and signatures the engine checks
  minisign
  # system calls made to fail for real (a kernel without process descriptors)
  strace
  # the Windows build: mingw-w64 with the posix thread model (std::thread),
  # and Wine to run the x86_64 programs and their tests
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  # libsodium for Windows, built from Debian's source package: the tool
  # that unpacks it and the autotools that make its configure script
  dpkg-dev autoconf automake libtool
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
update=$((${#missing[@]} > 0))

# apt-get source needs the source package lists, which a plain Debian image
# does not fetch.
source_list=/etc/apt/sources.list.d/kestrel-src.sources
if [ ! -e "$source_list" ]; then
  echo "setup: adding Debian's source packages to apt"
  "${sudo_cmd[@]}" tee "$source_list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  update=1
fi

if ((update)); then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
