#!/usr/bin/env bash
# Fails when a program that only calls (the `service` tool) carries hosting code: the
# server, the process's host or the stop signal. Reads the binary's symbol table, so
# it must find the transport's client there first, or it proves nothing.
# Usage: client_only_binary_test.sh NM PROGRAM
set -euo pipefail
nm=$1 program=$2
symbols=$("$nm" -C "$program")
if ! grep -q 'quorvel::Connection::' <<<"$symbols"; then
  echo "FAIL: $program has no symbols of the transport's client; cannot tell what it links" >&2
  exit 1
fi
hosting=$(grep -E 'quorvel::(Server|ProcessHost|StopSignal)\b' <<<"$symbols" || true)
if [[ -n $hosting ]]; then
  echo "FAIL: $program links hosting code:" >&2
  head -20 <<<"$hosting" >&2
  exit 1
fi
echo "$(basename "$program"): no server, host or stop signal linked"
