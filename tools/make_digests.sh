#!/usr/bin/env bash
# Makes tools/known_digests.inc, the SHA-256 of pi's first 2^M decimals for
# M = 7 ... 25 that digitmill-verify compares a result with, from MPFR's
# digits (the generator pi-digests, built beside digitmill); with --check,
# compares the committed file with what MPFR gives instead. Either way MPFR
# computes 2^25 decimals: about 85 s of CPU and 220 MiB.
#
#   tools/make_digests.sh [--check] [BUILD_DIR]      (default: build)
set -euo pipefail
check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
build=${1:-build}
table="$(dirname "$0")/known_digests.inc"
made=$(mktemp)
trap 'rm -f "$made"' EXIT
"$build/pi-digests" 7 25 >"$made"
if [ "$check" = 1 ]; then
  if cmp -s "$made" "$table"; then
    echo "known_digests.inc: every digest (M = 7 ... 25) is that of MPFR's decimals"
  else
    echo "known_digests.inc differs from the digests of MPFR's decimals:"
    diff "$table" "$made" || true
    exit 1
  fi
else
  cp "$made" "$table"
  echo "wrote $table"
fi
