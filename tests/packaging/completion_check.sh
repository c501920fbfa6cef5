#!/usr/bin/env bash
# A tool's bash completion offers exactly the options of its --help: those that begin an item
# of the usage text (a line "  -q, --quiet   ...", "  --port PORT   ...", "  PLUGIN.so, --plugin
# PATH   ..."), no more, no fewer; and it loads without bash-completion's helpers.
#   completion_check.sh TOOL COMPLETION_FILE
set -euo pipefail
tool=$1
completion=$2
name=$(basename "$completion")

# The item part of each option line: up to the first run of two blanks after its start.
from_help=$("$tool" --help | grep -E '^  [^ $]' | sed -E 's/^  //; s/  .*//' \
    | grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' | grep -oE -- '--?[a-z][a-z0-9-]*' | sort -u)

# shellcheck disable=SC1090 # the file under test
source "$completion"
function=$(complete -p "$name" | sed -E 's/.* -F ([^ ]+) .*/\1/')
COMP_WORDS=("$name" -)
COMP_CWORD=1
COMPREPLY=()
"$function"
from_completion=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u)

if [ "$from_help" != "$from_completion" ]; then
    echo "the options of $name --help and of its completion differ (< help, > completion):"
    diff <(echo "$from_help") <(echo "$from_completion") || true
    exit 1
fi
echo "$name: $(echo "$from_help" | wc -l) options, the same in --help and the completion"
