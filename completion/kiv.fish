# fish completion for kiv: options, page identifiers after -i and -o, files as operands.

# True while options may still follow: kiv's options end at the first operand or at "--".
function __kiv_options_open
    set -l words (commandline -opc)
    set -e words[1]
    set -l skip 0
    for word in $words
        if test $skip = 1
            set skip 0
            continue
        end
        switch $word
            case -- --
                return 1
            case '--?*'
            case '-?*'
                # The last of bundled letters may take the next word as its argument.
                string match -qr -- '^-[^ios]*[ios]$' $word; and set skip 1
            case '*'
                return 1
        end
    end
    return 0
end

set -l pages cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8
# UTF-16 is read, never written.
complete -c kiv -n __kiv_options_open -s i -x -a "$pages utf-16le utf-16be" -d 'input page, no detection'
complete -c kiv -n __kiv_options_open -s o -x -a "$pages" -d 'output page (default koi8-r)'
complete -c kiv -n __kiv_options_open -s t -d 'convert (the default)'
complete -c kiv -n __kiv_options_open -s T -d 'only report the page of each input'
complete -c kiv -n __kiv_options_open -s l -d 'leave blocks that score low unconverted'
complete -c kiv -n __kiv_options_open -s v -d 'show warnings'
complete -c kiv -n __kiv_options_open -s q -d 'hide warnings (the default)'
complete -c kiv -n __kiv_options_open -s e -d 'prefer plain characters to box drawing (the default)'
complete -c kiv -n __kiv_options_open -s g -d 'prefer box-drawing characters'
complete -c kiv -n __kiv_options_open -s c -d 'mind the letters only'
complete -c kiv -n __kiv_options_open -s s -x -d 'accepted and ignored'
complete -c kiv -n __kiv_options_open -s h -l help -d 'print the help text'
complete -c kiv -n __kiv_options_open -l version -d 'print the version and the licence'
