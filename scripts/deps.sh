# Sourced by the project's scripts: installs what the build and the tests need
# when it is missing (Debian packages and Python tools).

APT_PACKAGES=(g++ pkg-config binutils libgmp-dev libboost-dev libfmt-dev libgtest-dev libbenchmark-dev unicode-data)
PIP_PACKAGES=("cmake>=3.26" "ninja" "pytest" "hypothesis" "scikit-build-core>=0.10")

_apt_updated=0
apt_install() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        if [ "$_apt_updated" -eq 0 ]; then
            $sudo apt-get update -qq
            _apt_updated=1
        fi
        echo "== installing ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" > /dev/null
    fi
}

pip_install() {
    local py
    py="$(command -v python3)"
    "$py" - "$@" <<'PYEOF' || "$py" -m pip install -q "$@"
import sys
from importlib import metadata
import re
for requirement in sys.argv[1:]:
    name = re.split(r"[<>=!]", requirement)[0]
    try:
        metadata.version(name)
    except metadata.PackageNotFoundError:
        sys.exit(1)
PYEOF
}

# The zstd sources the build compiles (cmake/Zstd.cmake), put in the cache outside
# the build trees when missing, so that configuring needs no download.
fetch_zstd_sources() {
    cmake -P "$(dirname "${BASH_SOURCE[0]}")/../cmake/Zstd.cmake"
}

ensure_build_deps() {
    apt_install "${APT_PACKAGES[@]}"
    pip_install "${PIP_PACKAGES[@]}"
    local v
    v="$(cmake --version | head -1 | awk '{print $3}')"
    if [ "$(printf '%s\n3.26\n' "$v" | sort -V | head -1)" != "3.26" ]; then
        python3 -m pip install -q "cmake>=3.26"
    fi
    fetch_zstd_sources
}
