#!/usr/bin/env sh
# Runs the Python package's tests for ctest:
#   run_pytest.sh PYTHON LIBRARY CLI HDF5(0|1) SANITIZER
# Exit 77 (skipped) only in sanitizer builds; a missing pytest or numpy, a failure, and also
# "no tests collected" (pytest's 5) fail.
set -u
python=$1 library=$2 cli=$3 hdf5=$4 sanitizer=$5
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "$sanitizer" ]; then
  echo "skipped: the library of this $sanitizer-sanitizer build cannot be loaded into an" \
       "unsanitized Python; the plain build runs these tests"
  exit 77
fi
if ! "$python" -c "import numpy, pytest" 2>/dev/null; then
  echo "$python lacks numpy or pytest (Debian: python3-numpy python3-pytest; scripts/install-deps.sh)"
  exit 1
fi
export VEXDAQ_LIBRARY="$library" VEXDAQ_CLI="$cli" VEXDAQ_CLI_HDF5="$hdf5"
export PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$here/../../python${PYTHONPATH:+:$PYTHONPATH}"
# The examples' own test (a user's code against the virtual instrument) runs with the suite.
exec "$python" -m pytest -p no:cacheprovider -q -rs "$here" "$here/../../examples/python"
