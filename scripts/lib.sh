# Shared by the scripts: finds an interpreter (Python 3.12 unless a version is
# named), makes virtual environments and builds the extension into a wheel.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PACKAGE="$ROOT/packages/zelmo-information"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# find_python [X.Y]: prints the path of a Python X.Y (3.12 by default): the
# variable PYTHON (3.12) or PYTHON3_11 (3.11, and so on), else one on PATH or
# under pyenv.
find_python() {
    local version="${1:-3.12}" override candidate
    override="PYTHON${version/./_}"
    [ "$version" = 3.12 ] && override=PYTHON
    if [ -n "${!override:-}" ]; then echo "${!override}"; return; fi
    for candidate in "python$version" "$(pyenv root 2>/dev/null)"/versions/"$version".*/bin/"python$version" \
                     "$HOME"/.pyenv/versions/"$version".*/bin/"python$version" \
                     /usr/bin/"python$version" /usr/local/bin/"python$version"; do
        if "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" 2>/dev/null; then
            echo "$candidate"; return
        fi
    done
    echo "Python $version not found; set $override to its path" >&2
    return 1
}

# make_venv DIR PACKAGES...: a Python 3.12 virtual environment at DIR with PACKAGES.
make_venv() { make_venv_for 3.12 "$@"; }

# make_venv_for X.Y DIR PACKAGES...: the same with Python X.Y.
make_venv_for() {
    local version="$1" dir="$2"; shift 2
    if [ ! -x "$dir/bin/python" ]; then
        "$(find_python "$version")" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    "$dir/bin/python" -m pip install -q "$@"
}

BUILD_REQUIREMENTS=(scikit-build-core "numpy>=2" nanobind cmake ninja)
TEST_REQUIREMENTS=(pytest hypothesis scipy scikit-learn mypy pyinform tqdm networkx distributed pandas xarray matplotlib)

# build_wheel VENV [DIR]: builds the extension with VENV's interpreter and
# NumPy 2 headers into DIR (build/dist) and prints the wheel's path.
build_wheel() {
    local venv="$1" dist="${2:-$ROOT/build/dist}"
    rm -rf "$dist"
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$dist" "$PACKAGE" >&2
    ls "$dist"/zelmo_information-*.whl
}
