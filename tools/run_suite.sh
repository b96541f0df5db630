#!/usr/bin/env bash
# Runs the module's pytest suite on one interpreter, in .venv-NAME:
#   tools/run_suite.sh PYTHON NAME [PYTEST ARGS...]
# With SUITE_WHEELS=DIR, spinlattice is installed as a user gets it: pip picks its wheel
# from DIR with no index, no source build and no compiler on PATH; the suite must then
# import that installed module. With SUITE_SDIST=FILE, pip builds and installs that sdist
# as a user's pip would (CXX picks the compiler). Otherwise the module is built from the
# checkout in build/NAME.
# SUITE_EXTRAS_PIP_ARGS, when set, installs the test extras first with those pip options
# and extra requirements (pins for this interpreter); SUITE_INSTALL_ONLY=1 stops after
# installing.
set -euo pipefail
python=$1
name=$2
shift 2
cd "$(dirname "$0")/.."
venv=$PWD/.venv-$name
echo "== $("$python" -c 'import sys, sysconfig; print("CPython", sys.version.split()[0], sysconfig.get_config_var("SOABI"))') in .venv-$name"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py=$venv/bin/python
pip() { PYTHONWARNINGS=ignore::ResourceWarning "$py" -m pip "$@"; }  # a debug build shows pip's own
pip install -q --upgrade pip
mapfile -t extras < <("$py" tools/requirements.py test)
# shellcheck disable=SC2086 # options and extra requirements, one word each
pip install -q ${SUITE_EXTRAS_PIP_ARGS:-} "${extras[@]}"
if [ -n "${SUITE_WHEELS:-}" ]; then
    pip uninstall -q -y spinlattice 2>/dev/null || true
    env -i HOME="$HOME" PATH="$venv/bin" PYTHONWARNINGS=ignore::ResourceWarning "$py" -m pip install -q \
        --no-index --only-binary=:all: --find-links "$SUITE_WHEELS" spinlattice
    export SPINLATTICE_EXPECT_INSTALLED_IN=$venv
elif [ -n "${SUITE_SDIST:-}" ]; then
    pip uninstall -q -y spinlattice 2>/dev/null || true
    pip install -q --no-cache-dir "$SUITE_SDIST"
    export SPINLATTICE_EXPECT_INSTALLED_IN=$venv
else
    build_tools=${BUILD_TOOLS:-scikit-build-core>=0.11 cmake>=3.21 ninja}
    # shellcheck disable=SC2086 # one word per requirement
    pip install -q ${build_tools//\"/}
    pip install -q --no-build-isolation -C "build-dir=build/$name" .
fi
[ "${SUITE_INSTALL_ONLY:-0}" = 1 ] && exit 0
installed=$SECONDS
tools/pytest.sh "$py" -q -p no:cacheprovider "$@"
echo "== $name: set-up $installed s, suite $((SECONDS - installed)) s"
