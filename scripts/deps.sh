# Sourced by the project's scripts: installs what the build and the tests need
# when it is missing (Debian packages and Python tools).
#
# Python is Debian's /usr/bin/python3 (not whatever python3 comes first on PATH);
# the Python tools go into a virtual environment of the repository's own, .venv/
# at the root (KESTRANE_VENV to put it elsewhere). After ensure_build_deps,
# KESTRANE_PY is that environment's python and its bin/ is first on PATH
# (cmake, ctest, ninja, pytest).

APT_PACKAGES=(g++ pkg-config binutils libgmp-dev libboost-dev libfmt-dev libgtest-dev libbenchmark-dev unicode-data)
PIP_PACKAGES=("cmake>=3.26" "ninja" "pytest" "scikit-build-core>=0.10")

# A minimal Debian has none of these: Python for the virtual environment, git for
# the commit in the build information, certificates for downloads. mypy is for
# the Python tests' type check.
APT_PACKAGES+=(python3 python3-venv python3-dev git ca-certificates)
PIP_PACKAGES+=("mypy")

KESTRANE_VENV="${KESTRANE_VENV:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.venv}"
KESTRANE_PY=""
SYSTEM_PY=/usr/bin/python3

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

# Creates the virtual environment from Debian's python, or recreates it when it
# does not run or was made by another python.
ensure_venv() {
    local want have=""
    want="$("$SYSTEM_PY" -c 'import sys; print(sys.base_prefix, *sys.version_info[:3])')"
    if [ -x "$KESTRANE_VENV/bin/python" ]; then
        have="$("$KESTRANE_VENV/bin/python" -c 'import sys, pip; print(sys.base_prefix, *sys.version_info[:3])' \
                 2>/dev/null || true)"
    fi
    if [ "$have" != "$want" ]; then
        [ -e "$KESTRANE_VENV" ] && echo "== recreating $KESTRANE_VENV (made by another python, or broken)"
        rm -rf "$KESTRANE_VENV"
        echo "== creating $KESTRANE_VENV"
        "$SYSTEM_PY" -m venv "$KESTRANE_VENV"
    fi
    KESTRANE_PY="$KESTRANE_VENV/bin/python"
    export VIRTUAL_ENV="$KESTRANE_VENV"
    case ":$PATH:" in
        "$KESTRANE_VENV/bin:"*) ;;
        *) export PATH="$KESTRANE_VENV/bin:$PATH" ;;
    esac
    hash -r
}

# Installs the given requirements into the virtual environment unless every one
# is there already at a matching version.
pip_install() {
    "$KESTRANE_PY" - "$@" <<'PYEOF' || "$KESTRANE_PY" -m pip install -q --disable-pip-version-check "$@"
import sys
from importlib import metadata
from pip._vendor.packaging.requirements import Requirement
for text in sys.argv[1:]:
    requirement = Requirement(text)
    try:
        version = metadata.version(requirement.name)
    except metadata.PackageNotFoundError:
        sys.exit(1)
    if not requirement.specifier.contains(version, prereleases=True):
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
    ensure_venv
    pip_install "${PIP_PACKAGES[@]}"
    fetch_zstd_sources
}
