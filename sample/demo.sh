#!/bin/sh
# Runs tagrun on the bundled sample: find mode on the sample itself, then
# rewrite mode on a temporary copy, and lists the bytes that changed.
# Usage: sample/demo.sh [PATH-TO-TAGRUN]
set -eu
tagrun=${1:-build/tagrun}
sample=$(dirname "$0")/values.bin

echo "== find mode: $tagrun values.bin 1000"
"$tagrun" "$sample" 1000

copy=$(mktemp)
trap 'rm -f "$copy"' EXIT
cp "$sample" "$copy"
echo
echo "== rewrite mode on a copy: $tagrun COPY 1000 5000"
"$tagrun" "$copy" 1000 5000

echo
echo "== bytes changed (offset: before -> after, in hex)"
cmp -l "$sample" "$copy" | while read -r offset before after; do
  printf '%6d: %02x -> %02x\n' "$((offset - 1))" "0$before" "0$after"
done
