#!/usr/bin/env bash
# Compares a committed generated document with the one the build made from
# its source of truth; on a difference prints the difference and the command
# that brings the committed file up to date.
#   check_generated.sh COMMITTED GENERATED "REGENERATE COMMAND"
set -u
committed=$1 generated=$2 regenerate=$3
if [ ! -f "$generated" ]; then
  echo "FAIL: $generated was not generated (build the target that makes it)"
  exit 1
fi
if [ ! -f "$committed" ]; then
  echo "FAIL: $committed is missing; create it with: $regenerate"
  exit 1
fi
if ! diff -u "$committed" "$generated" > /tmp/check_generated.$$ 2>&1; then
  head -n 60 /tmp/check_generated.$$
  rm -f /tmp/check_generated.$$
  echo
  echo "FAIL: $committed differs from what the operation table gives ($generated)."
  echo "Regenerate it with: $regenerate"
  exit 1
fi
rm -f /tmp/check_generated.$$
echo "ok: $committed matches $generated"
