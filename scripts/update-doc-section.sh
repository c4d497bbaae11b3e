#!/usr/bin/env bash
# Replaces the lines between "<!-- NAME: begin -->" and "<!-- NAME: end -->"
# in FILE with what comes on stdin: make bench and make reliability write
# their latest figures into the documentation this way.
#
#   scripts/update-doc-section.sh FILE NAME <new-content
set -euo pipefail
file=$1 name=$2
begin="<!-- $name: begin -->" end="<!-- $name: end -->"
grep -qxF "$begin" "$file" && grep -qxF "$end" "$file" ||
  { echo "update-doc-section: $file has no $begin ... $end" >&2; exit 1; }
content=$(mktemp)
trap 'rm -f "$content"' EXIT
cat >"$content"
awk -v begin="$begin" -v end="$end" -v content="$content" '
  $0 == begin { print; while ((getline line < content) > 0) print line; skipping = 1; next }
  $0 == end { skipping = 0 }
  !skipping { print }' "$file" >"$file.new"
mv "$file.new" "$file"
