#!/usr/bin/env bash
# Sets up, builds and starts a private daemon whose registry lives in
# ./registry inside the checkout. Prints how to reach and stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build

base="$PWD/registry"
mkdir -p "$base"
prog=${KALVO_REGISTRY_PROG:-$((0x20000000 + ($(id -u) & 0xFFFF)))}
case "$prog" in 0x*|0X*) prog=$((prog)) ;; esac

subdir=".kalvo.$(hostname)"
pidfile="$base/$subdir/kalvo_reg.pid"
if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
  echo "A daemon already serves $base (pid $(cat "$pidfile"))."
  exit 0
fi
rm -f "$pidfile"

# -p -1: this daemon does not end itself when no client uses it.
build/bin/kalvo_registryd -prog "$prog" -d "$base" -p -1 "$@" || true

for _ in $(seq 1 100); do
  [ -s "$pidfile" ] && rpcinfo -T tcp localhost "$prog" 2 >/dev/null 2>&1 && break
  sleep 0.1
done
if ! [ -s "$pidfile" ]; then
  echo "The daemon did not start; see $base/$subdir/kalvo_reg.log" >&2
  exit 1
fi
pid=$(cat "$pidfile")
echo "Registry daemon running."
echo "  program number: $prog (export KALVO_REGISTRY_PROG=$prog for clients)"
echo "  pid:            $pid"
echo "  log file:       $base/$subdir/kalvo_reg.log"
echo "  stop it with:   kill $pid"
