#!/usr/bin/env bash
# Installs those of the named Debian packages that are not installed yet
# (run as root). The package lists are read once per call, and only when
# something is missing.
#   bash scripts/apt_install.sh PACKAGE...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "== apt-get install ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
