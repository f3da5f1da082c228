#!/usr/bin/env bash
# Prints a few figures about the source tree, for following its size and shape
# over time:
#   - non-blank lines of code and of tests, and the tests' share of the sum;
#   - the largest files of the sample reception library (vexalib/src);
#   - how many pairs of places repeat a block of six or more lines, as counted
#     by `duplicates --most 200` (skipped when that command is not on PATH).
# Sources are the files git tracks that are C++ (.cpp .hpp .h), CMake
# (CMakeLists.txt, .cmake), or scripts (.sh .py .js .mjs .lua, .ci/run).
# Tests are the sources below a test/ folder, testsupport/ or fuzz/; code is
# every other source (libraries, programs, platform stand-ins, bench/, tools).
#   scripts/codebase-figures.sh          the working tree
#   scripts/codebase-figures.sh REV      the tree of commit REV
set -euo pipefail
cd "$(dirname "$0")/.."
revision="${1:-}"

list_sources() {
  if [ -n "$revision" ]; then git ls-tree -r --name-only "$revision"; else git ls-files; fi |
    grep -E '(\.(cpp|hpp|h|cmake|sh|py|js|mjs|lua)|/CMakeLists\.txt|^CMakeLists\.txt|^\.ci/run)$'
}
show() {
  if [ -n "$revision" ]; then git show "$revision:$1"; else cat "$1"; fi
}
non_blank_lines() { show "$1" | grep -c '[^[:space:]]' || true; }
# The same without the lines that hold only a // comment.
statement_lines() { show "$1" | grep -v '^[[:space:]]*//' | grep -c '[^[:space:]]' || true; }
is_test() { [[ "$1" =~ (^|/)test/ || "$1" == testsupport/* || "$1" == fuzz/* ]]; }

code=0 tests=0
while read -r file; do
  lines=$(non_blank_lines "$file")
  if is_test "$file"; then tests=$((tests + lines)); else code=$((code + lines)); fi
done < <(list_sources)
echo "tree: ${revision:-working tree}"
printf 'non-blank lines: code %d, tests %d, share of tests %d %%\n' \
  "$code" "$tests" $((100 * tests / (code + tests)))

echo "largest files of vexalib/src (non-blank lines, and those without comment-only lines):"
list_sources | grep '^vexalib/src/' | while read -r file; do
  printf '%6d %6d  %s\n' "$(non_blank_lines "$file")" "$(statement_lines "$file")" "$file"
done | sort -rn | head -5

if ! command -v duplicates >/dev/null; then
  echo "repeated blocks: 'duplicates' is not on PATH"
elif [ -n "$revision" ]; then
  snapshot=$(mktemp -d)
  trap 'rm -rf "$snapshot"' EXIT
  git archive "$revision" | tar -x -C "$snapshot"
  echo "repeated blocks: $(duplicates --repo "$snapshot" --most 200 --seconds 120 | head -1)"
else
  echo "repeated blocks: $(duplicates --most 200 --seconds 120 | head -1)"
fi
