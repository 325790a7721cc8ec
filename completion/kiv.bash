# bash completion for kiv: code page identifiers after -i and -o, files elsewhere.

_kiv() {
  local cur=${COMP_WORDS[COMP_CWORD]} word next=option i j c
  # Walk the words before the cursor as getopt does: bundled flags, an option's argument
  # attached or in the next word, and no options after the first operand or --.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $next in
      in_page | page | arg) next=option; continue ;;
      operand) break ;;
    esac
    case $word in
      --) next=operand; continue ;;
      - | [^-]*) next=operand; continue ;;
      --*) continue ;;  # --help, --version: no argument
    esac
    for ((j = 1; j < ${#word}; j++)); do
      c=${word:j:1}
      case $c in
        i | o | s)
          if ((j + 1 == ${#word})); then
            case $c in s) next=arg ;; i) next=in_page ;; *) next=page ;; esac
          fi
          break
          ;;
      esac
    done
  done

  COMPREPLY=()
  local pages='cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8'
  case $next in
    in_page | page)
      # UTF-16 is read, never written.
      [ $next = in_page ] && pages+=' utf-16le utf-16be'
      mapfile -t COMPREPLY < <(compgen -W "$pages" -- "$cur")
      return
      ;;
    arg) return ;;  # -s takes a word kiv ignores: nothing to offer
  esac
  if [ "$next" = option ] && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-c -e -g -h -i -l -o -q -s -t -T -v -- --help --version' -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

complete -F _kiv kiv
