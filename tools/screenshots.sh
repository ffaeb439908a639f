#!/usr/bin/env bash
# Renders the main window and the configuration dialog under Xvfb into docs/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}
cmake --build "$build" --target velunor-screenshot
xvfb-run -a -s "-screen 0 1280x1024x24" "$build/app/program/velunor-screenshot" "$root/docs"
echo "written: docs/main-window.png docs/configuration-dialog.png"
