#!/bin/bash
# The zsh completion: options, code pages after -i and -o (also bundled), files once the
# options have ended, nothing for the ignored -s argument. Completed by a real zsh on a
# pseudo-terminal, where compadd also prints each match it is handed.
. "$(dirname "$0")/lib.sh" "$@"
command -v zsh >/dev/null || { echo "SKIP: zsh is not installed"; exit 77; }
zsh -fc 'zmodload zsh/zpty' 2>/dev/null || { echo "SKIP: this zsh has no zpty module"; exit 77; }

# An interactive zsh of our own: no start-up files but these, a mark when the line editor
# starts on a new line, and compadd printing each match it adds (not those a caller only
# collects: -O, -A, -D).
mkdir "$T/zdot"
echo 'unsetopt global_rcs' >"$T/zdot/.zshenv"
cat >"$T/zdot/.zshrc" <<ZSHRC
PS1=''
fpath=('$SRC/completion' \$fpath)
autoload -Uz compinit && compinit -u -D
ZSHRC
cat >>"$T/zdot/.zshrc" <<'ZSHRC'
zle-line-init() { print -rn -- '<ready>'; }
zle -N zle-line-init
compadd() {
  (( ${@[(I)-[OAD]*]} )) && { builtin compadd "$@"; return; }
  local -a hits; builtin compadd -A hits "$@"
  (( $#hits )) && print -rl -- "<match>"${^hits}
  builtin compadd "$@"
}
ZSHRC
cat >"$T/complete.zsh" <<'ZSH'
# Reads command lines, completes each at its end, prints its matches sorted on one line.
# A line is typed only once the line editor reads the terminal: typed earlier, the
# terminal itself would take the tab and the line kill.
zmodload zsh/zpty
zpty z ZDOTDIR=$1 TERM=dumb zsh -i
zpty -r z out '*<ready>*'
while IFS= read -r line; do
  zpty -w -n z "$line"$'\t'
  zpty -w z $'\C-u'
  zpty -r z out '*<ready>*'
  found=()
  for l in ${(f)out//$'\r'/}; do [[ $l == *'<match>'* ]] && found+=(${l##*'<match>'}); done
  print -r -- ${(j: :)${(ou)found}}
done
zpty -d z
ZSH

completion_cases "alpha.txt" utf-8
printf '%s\n' "${rows[@]}" | timeout 60 zsh -f "$T/complete.zsh" "$T/zdot" >"$T/got" 2>"$T/err"
status=$?
expect_completions zsh

finish
