#!/bin/bash
# The fish completion: options, code pages after -i and -o (also bundled), files once the
# options have ended, nothing for the ignored -s argument.
. "$(dirname "$0")/lib.sh" "$@"
command -v fish >/dev/null || { echo "SKIP: fish is not installed"; exit 77; }

completion_cases "$T/d/alpha.txt" --to-code=utf-8
# Each line completed at its end; the matches, without their descriptions, on one line.
printf '%s\n' "${rows[@]}" | timeout 60 fish --no-config -c "
  source '$SRC/completion/kiv.fish'
  while read -l line
    set -l matches (complete -C \$line | string replace -r '\t.*' '' | sort)
    echo \"\$matches\"
  end" >"$T/got" 2>"$T/err"
status=$?
expect_completions fish

finish
