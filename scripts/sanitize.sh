#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite under them:
#
#     bash scripts/sanitize.sh                 # whole suite
#     bash scripts/sanitize.sh tests/sheet -x  # arguments go to pytest
#
# It uses its own virtual environment (SANITIZE_VENV, default
# /tmp/tp-sanitize-venv, made with $PYTHON or python3) and its own build
# folder (build/sanitize), so it never touches a normal build.  The build is
# `TESTPARAMETERS_SANITIZE=1 python setup.py build` (the extension and the
# Python packages into build/sanitize/lib), which adds
# -fsanitize=address,undefined -fno-omit-frame-pointer.  The interpreter
# itself is not instrumented, so the ASan runtime is preloaded
# (LD_PRELOAD=$(g++ -print-file-name=libasan.so)), and the C++ runtime with it
# (without libstdc++ loaded at start-up ASan cannot find the real __cxa_throw
# and aborts at the first C++ exception); leak detection is off
# because CPython does not free everything at exit; PYTHONMALLOC=malloc sends
# every Python object through malloc so that ASan sees a use after free of
# an object too; UBSan stops at the first finding with a stack trace.
# pytest captures at the Python level (--capture=sys), so that a sanitizer
# report written to descriptor 2 is never swallowed.
# Child processes that the suite starts inherit all of this; some tests are
# there for it: tests/robustness/test_hostile_code.py frees a class's MRO
# while the module walks it (a use after free that ASan reports).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VENV=${SANITIZE_VENV:-/tmp/tp-sanitize-venv}
PY=${PYTHON:-python3}
BUILD=$ROOT/build/sanitize

if [ ! -x "$VENV/bin/python" ]; then
    "$PY" -m venv "$VENV"
fi
# Runtime and test dependencies as setup.cfg names them.
DEPS=$("$VENV/bin/python" - <<'EOF'
import configparser
cfg = configparser.ConfigParser()
cfg.read("setup.cfg")
names = cfg.get("options", "install_requires", fallback="").split()
if cfg.has_section("options.extras_require"):
    names += cfg.get("options.extras_require", "test", fallback="").split()
print(" ".join(names))
EOF
)
"$VENV/bin/python" -m pip install -q $DEPS setuptools wheel

rm -rf "$BUILD"
TESTPARAMETERS_SANITIZE=1 "$VENV/bin/python" setup.py -q build \
    --build-temp "$BUILD/temp" --build-lib "$BUILD/lib"

LIBASAN=$(g++ -print-file-name=libasan.so)
LIBSTDCXX=$(g++ -print-file-name=libstdc++.so)
for lib in "$LIBASAN" "$LIBSTDCXX"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize.sh: $lib not found (from g++ -print-file-name)" >&2
        exit 2
    fi
done
export LD_PRELOAD="$LIBASAN $LIBSTDCXX"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export PYTHONPATH=$BUILD/lib${PYTHONPATH:+:$PYTHONPATH}

# The suite must see the instrumented build and nothing else (an in-place
# build in the source folder would otherwise shadow it).
MODULE=$(cd / && "$VENV/bin/python" -c 'import orv_testparameters as m; print(m.__file__)')
case "$MODULE" in
    "$BUILD/lib/"*) echo "sanitize.sh: testing $MODULE" ;;
    *) echo "sanitize.sh: orv_testparameters comes from $MODULE, not $BUILD/lib" >&2; exit 2 ;;
esac
exec "$VENV/bin/pytest" -p no:cacheprovider --capture=sys "$@"
