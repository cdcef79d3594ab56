#!/usr/bin/env bash
# Validates an OpenAPI 3.1 file: its structure, its schemas and that every reference resolves.
# Usage: validate_openapi.sh FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
validator=$here/node_modules/.bin/validate-api
if [ ! -x "$validator" ]; then
  echo "validate_openapi.sh: the validator is not installed; run scripts/setup --dev (npm ci in $here)" >&2
  exit 1
fi
out=$("$validator" "$1")
echo "$out"
# The validator prints {"valid": true} or the errors, and exits non-zero on errors.
grep -q '"valid": true' <<<"$out"
