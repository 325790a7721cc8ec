# bash completion for kiv: code page identifiers after -i and -o, files elsewhere.

_kiv() {
  # UTF-16 is read, never written.
  local out_pages='cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8' in_pages
  in_pages="$out_pages utf-16le utf-16be"
  local options='-c -e -g -h -i -j -l -o -q -r -s -t -T -v -- --from-code --to-code --report
    --convert --leave-low-scores --no-box-drawing --box-drawing --letters-only --verbose
    --quiet --ignored --recursive --jobs --in-place --dry-run --lossy --backup --keep-times
    --keep-declarations --repair --guess --help
    --version'
  # bash splits "--to-code=u" at the "=": the words as kiv gets them.
  local -a w=()
  local k word
  for ((k = 0; k <= COMP_CWORD; k++)); do
    word=${COMP_WORDS[k]}
    if ((k > 1)) && [[ ${w[-1]} == --* ]] && [[ $word == = || ${COMP_WORDS[k - 1]} == = ]]; then
      w[-1]+=$word
    else
      w+=("$word")
    fi
  done
  local cur=${w[-1]} next=option i j c long
  # Walk the words before the cursor as getopt does: bundled flags, an option's argument
  # attached or in the next word, long names cut short, and no options after the first
  # operand or --.
  for ((i = 1; i < ${#w[@]} - 1; i++)); do
    word=${w[i]}
    case $next in
      in | out | arg) next=option; continue ;;
      operand) break ;;
    esac
    case $word in
      --) next=operand; continue ;;
      - | [^-]*) next=operand; continue ;;
      --*=*) continue ;;
      --?*)
        for long in --from-code:in --to-code:out --ignored:arg --jobs:arg; do
          [[ ${long%:*} == "$word"* ]] && next=${long#*:}
        done
        continue
        ;;
    esac
    for ((j = 1; j < ${#word}; j++)); do
      c=${word:j:1}
      case $c in
        i | o | s | j)
          if ((j + 1 == ${#word})); then
            case $c in i) next=in ;; o) next=out ;; s | j) next=arg ;; esac
          fi
          break
          ;;
      esac
    done
  done

  COMPREPLY=()
  local prefix=''
  if [ "$next" = option ]; then
    case $cur in
      --from-code=* | --to-code=*)
        next=in && [[ $cur == --to* ]] && next=out
        prefix=${cur%%=*}=
        cur=${cur#*=}
        [[ $COMP_WORDBREAKS == *=* ]] && prefix=''  # readline completes after the "="
        ;;
    esac
  fi
  case $next in
    in | out)
      local pages=$in_pages && [ $next = out ] && pages=$out_pages
      mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$pages" -- "$cur")
      return
      ;;
    arg) return ;;  # -s takes a word kiv ignores: nothing to offer
  esac
  if [ "$next" = option ] && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

complete -F _kiv kiv
