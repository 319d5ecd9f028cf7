#!/usr/bin/env bash
# The C++ tests need GoogleTest. Where it is missing, root installs Debian's package (as CI
# does); anyone else is told what to run.
set -euo pipefail
for dir in /usr/include /usr/local/include; do
    [ -f "$dir/gtest/gtest.h" ] && exit 0
done
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "   GoogleTest is missing: installing Debian's libgtest-dev"
    export DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes
    apt-get update -qq
    apt-get install -y -qq libgtest-dev >/dev/null
    exit 0
fi
echo "GoogleTest is missing: run 'sudo apt-get install libgtest-dev' (or your system's GoogleTest package), then make test again" >&2
exit 1
