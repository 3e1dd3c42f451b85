#!/usr/bin/env bash
# Fails when a C++ source is not laid out as .clang-format says, naming the files; the fix is
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
if ! command -v clang-format >/dev/null; then
  echo "format: clang-format is not installed (scripts/setup installs it); not checked"
  exit 77
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find src tests bench -name '*.cpp' -o -name '*.h' | sort)
fi
bad=$(printf '%s\0' "${files[@]}" | xargs -0 clang-format --dry-run 2>&1 |
      grep 'warning: code should be clang-formatted' | cut -d: -f1 | sort -u || true)
if [ -n "$bad" ]; then
  echo "format: these files are not formatted (run clang-format -i on them):"
  echo "$bad"
  exit 1
fi
echo "format: ${#files[@]} files formatted"
