#!/usr/bin/env bash
# Installs what the project needs on a Debian machine and starts rpcbind.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(rpcbind libtirpc-dev cmake ninja-build g++ pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The daemon registers with the local portmapper; tests need it running.
if ! pgrep -x rpcbind >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: rpcbind is not running; start it as root (rpcbind -w)" >&2
    exit 1
  fi
  mkdir -p /run/rpcbind
  /usr/sbin/rpcbind -w || /usr/sbin/rpcbind
  for _ in $(seq 1 50); do
    rpcinfo -p localhost >/dev/null 2>&1 && break
    sleep 0.1
  done
fi
rpcinfo -p localhost >/dev/null 2>&1 || { echo "setup: rpcbind does not answer" >&2; exit 1; }
