#!/usr/bin/env bash
# Builds the API reference of include/zelkit with doxygen and fails when it
# warns (an undocumented class, member, parameter or result among others).
#   scripts/check-docs.sh [OUTPUT_DIR]     (default build/docs; HTML in OUTPUT_DIR/html)
set -euo pipefail
cd "$(dirname "$0")/.."
export ZELKIT_DOCS_OUTPUT=${1:-build/docs}
mkdir -p "$ZELKIT_DOCS_OUTPUT"
log=$ZELKIT_DOCS_OUTPUT/doxygen.log
if doxygen docs/Doxyfile >"$log" 2>&1; then
  echo "== docs: the API reference is complete ($ZELKIT_DOCS_OUTPUT/html/index.html)"
else
  cat "$log"
  echo "== docs: FAILED"
  exit 1
fi
