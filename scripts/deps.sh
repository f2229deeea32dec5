#!/usr/bin/env bash
# Installs what building and testing sgsplit needs, from Debian's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2046
apt-get install -y --no-install-recommends $(grep -v '^#' scripts/packages.txt)
