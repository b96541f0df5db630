#!/usr/bin/env bash
# Runs the whole pytest suite on one interpreter: tools/run_suite.sh PYTHON NAME
# builds into build/NAME and installs into .venv-NAME, so interpreters never share
# a venv or a CMake cache. SUITE_EXTRAS_PIP_ARGS, when set, installs the test extras
# first with those pip options and extra requirements (pins for this interpreter);
# SUITE_INSTALL_ONLY=1 stops after installing.
set -euo pipefail
python=$1
name=$2
cd "$(dirname "$0")/.."
venv=.venv-$name
build_tools=${BUILD_TOOLS:-scikit-build-core>=0.10 cmake>=3.21 ninja}
build_tools=${build_tools//\"/}
echo "== $("$python" -c 'import sys, sysconfig; print("CPython", sys.version.split()[0], sysconfig.get_config_var("SOABI"))') in $venv"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py=$venv/bin/python
pip() { PYTHONWARNINGS=ignore::ResourceWarning "$py" -m pip "$@"; }  # a debug build shows pip's own
# shellcheck disable=SC2086 # one word per requirement
pip install -q --upgrade pip $build_tools
if [ -n "${SUITE_EXTRAS_PIP_ARGS:-}" ]; then
    mapfile -t extras < <("$py" -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]:
    print(r)')
    # shellcheck disable=SC2086 # options and extra requirements, one word each
    pip install -q $SUITE_EXTRAS_PIP_ARGS "${extras[@]}"
fi
pip install -q --no-build-isolation -C "build-dir=build/$name" ".[test]"
[ "${SUITE_INSTALL_ONLY:-0}" = 1 ] && exit 0
installed=$SECONDS
# Exit status 5 means pytest collected nothing: a failure here too.
"$py" -m pytest -q -p no:cacheprovider "${@:3}" \
    || { rc=$?; [ $rc -ne 5 ] || echo "pytest collected no tests: failing" >&2; exit $rc; }
echo "== $name: set-up and build $installed s, suite $((SECONDS - installed)) s"
