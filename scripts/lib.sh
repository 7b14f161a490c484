# Shared by scripts/demo and scripts/test: finds Python 3.12, makes virtual
# environments and builds the extension once into a wheel.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PACKAGE="$ROOT/packages/zelmo-information"
export PIP_DISABLE_PIP_VERSION_CHECK=1

find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    local candidate
    for candidate in python3.12 "$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 \
                     "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
        if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
            echo "$candidate"; return
        fi
    done
    echo "Python 3.12 not found; set PYTHON to its path" >&2
    return 1
}

# make_venv DIR PACKAGES...: a Python 3.12 virtual environment at DIR with PACKAGES.
make_venv() {
    local dir="$1"; shift
    if [ ! -x "$dir/bin/python" ]; then
        "$(find_python)" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
    "$dir/bin/python" -m pip install -q "$@"
}

BUILD_REQUIREMENTS=(scikit-build-core "numpy>=2" nanobind cmake ninja)
TEST_REQUIREMENTS=(pytest hypothesis scipy scikit-learn mypy pyinform tqdm networkx distributed)

# build_wheel VENV: builds the extension with VENV's NumPy 2 headers into
# build/dist and prints the wheel's path.
build_wheel() {
    local venv="$1"
    rm -rf "$ROOT/build/dist"
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$ROOT/build/dist" "$PACKAGE" >&2
    ls "$ROOT"/build/dist/zelmo_information-*.whl
}
