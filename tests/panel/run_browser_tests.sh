#!/usr/bin/env sh
# Runs the panel's browser tests for ctest:  run_browser_tests.sh CLI SCREENSHOT_DIR
# Skipped (77) outside CI when Chromium, its driver or Selenium is missing; in CI (CI=true) a
# missing one fails, so a green run always means the browser tests ran.
set -u
cli=$1 screenshots=$2
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
missing=""
[ -x /usr/bin/chromium ] || missing="$missing chromium"
[ -x /usr/bin/chromedriver ] || missing="$missing chromium-driver"
"$python" -c "import selenium, h5py, pytest" 2>/dev/null || missing="$missing python3-selenium/python3-h5py/python3-pytest"
if [ -n "$missing" ]; then
  echo "missing:$missing (scripts/install-deps.sh installs them)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
export VEXDAQ_CLI="$cli" PANEL_SCREENSHOTS="$screenshots" PYTHONDONTWRITEBYTECODE=1
exec "$python" -m pytest -p no:cacheprovider -q -rs "$here/browser"
