#!/usr/bin/env bash
# Runs the whole test suite on every CPython under ~/.pyenv/versions/ from
# 3.6 up, each in a fresh virtual environment with the openpyxl (and pytest)
# that pip picks for that version, and prints a table of the results:
#
#     bash scripts/matrix.sh [FOLDER] [-- pytest arguments]
#
# FOLDER holds one virtual environment and one log per version (default
# /tmp/tp-matrix); it is emptied for each version first.  VERSIONS may name
# the versions to run (e.g. VERSIONS="3.6.15 3.13.0").  The exit status is 0
# only when every version built and passed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
FOLDER=${1:-/tmp/tp-matrix}
if [ $# -gt 0 ]; then shift; fi
if [ "${1:-}" = "--" ]; then shift; fi
PYENV_VERSIONS=${PYENV_ROOT:-$HOME/.pyenv}/versions
mkdir -p "$FOLDER"

if [ -z "${VERSIONS:-}" ]; then
    VERSIONS=$(ls "$PYENV_VERSIONS" | sort -V)
fi

ROWS=()
STATUS=0
for version in $VERSIONS; do
    py="$PYENV_VERSIONS/$version/bin/python3"
    [ -x "$py" ] || continue
    if ! "$py" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 6) else 1)' 2>/dev/null; then
        continue
    fi
    venv="$FOLDER/$version"
    log="$FOLDER/$version.log"
    rm -rf "$venv"
    echo "== $version: $log" >&2
    result="build failed"
    openpyxl="-"
    # The pip bundled with 3.6 (18.1) takes the newest release an index
    # lists even when it needs a newer Python, if the index does not say so
    # (local extra indexes may not); it then fails instead of trying an older
    # one.  When the plain upgrade of pip fails, upgrade it from PyPI alone
    # (--isolated ignores the configured extra indexes), which says.
    {
        "$py" -m venv "$venv" &&
        { "$venv/bin/python" -m pip install -q --upgrade pip ||
          "$venv/bin/python" -m pip --isolated install -q --upgrade pip; } &&
        "$venv/bin/python" -m pip install -q "$ROOT[test]"
    } >"$log" 2>&1
    if [ $? -eq 0 ]; then
        openpyxl=$("$venv/bin/python" -c 'import openpyxl; print(openpyxl.__version__)' 2>>"$log")
        # The installed module, not a build lying in the source folder: the
        # pytest script does not put the current folder on sys.path.  The
        # venv's bin folder goes first on PATH, as activation would put it,
        # so that the installed console script is found.
        (cd "$ROOT" && PATH="$venv/bin:$PATH" "$venv/bin/pytest" -p no:cacheprovider -q \
            --junitxml="$FOLDER/$version.xml" "$@") >>"$log" 2>&1
        result=$("$venv/bin/python" - "$FOLDER/$version.xml" <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except Exception as exc:
    print("no result (%s)" % type(exc).__name__)
    sys.exit(0)
n = {"passed": 0, "failed": 0, "skipped": 0, "xfailed": 0}
for case in root.iter("testcase"):
    if case.find("failure") is not None or case.find("error") is not None:
        n["failed"] += 1
    elif case.find("skipped") is not None:
        kind = case.find("skipped").get("type", "")
        n["xfailed" if kind == "pytest.xfail" else "skipped"] += 1
    else:
        n["passed"] += 1
text = "%d passed, %d failed" % (n["passed"], n["failed"])
for key in ("skipped", "xfailed"):
    if n[key]:
        text += ", %d %s" % (n[key], key)
print(text)
EOF
)
    fi
    case "$result" in
        *" passed, 0 failed"*) ;;
        *) STATUS=1 ;;
    esac
    ROWS+=("| $version | $openpyxl | $result |")
    echo "   $result" >&2
done

echo "| Python | openpyxl | result |"
echo "|---|---|---|"
for row in "${ROWS[@]}"; do
    echo "$row"
done
exit $STATUS
