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
            case '--*=*'
            case '--?*'
                # A long option that takes an argument, its name maybe cut short, takes
                # the next word.
                for long in --from-code --to-code --ignored --jobs
                    string match -q -- "$word*" $long; and set skip 1
                end
            case '-?*'
                # The last of bundled letters may take the next word as its argument.
                string match -qr -- '^-[^iosj]*[iosj]$' $word; and set skip 1
            case '*'
                return 1
        end
    end
    return 0
end

set -l out_pages cp866 cp1251 koi8-r iso-8859-5 mac-cyrillic utf-8
set -l in_pages $out_pages utf-16le utf-16be  # UTF-16 is read, never written
set -l open -c kiv -n __kiv_options_open
complete $open -s i -l from-code -x -a "$in_pages" -d 'input page, no detection'
complete $open -s o -l to-code -x -a "$out_pages" -d 'output page (default koi8-r)'
complete $open -s t -l convert -d 'convert (the default)'
complete $open -s T -l report -d 'only report the page of each input'
complete $open -s l -l leave-low-scores -d 'leave blocks that score low unconverted'
complete $open -s v -l verbose -d 'show warnings'
complete $open -s q -l quiet -d 'hide warnings (the default)'
complete $open -s e -l no-box-drawing -d 'prefer plain characters to box drawing (the default)'
complete $open -s g -l box-drawing -d 'prefer box-drawing characters'
complete $open -s c -l letters-only -d 'mind the letters only'
complete $open -s s -l ignored -x -d 'accepted and ignored'
complete $open -s h -l help -d 'print the help text'
complete $open -l in-place -d 'convert each file in its place'
complete $open -l dry-run -d 'with --in-place: decide and report, change nothing'
complete $open -l lossy -d 'with --in-place: convert what loses characters too'
complete $open -s j -l jobs -x -d 'with --in-place: convert in N jobs at once (0: one for each CPU)'
complete $open -s r -l recursive -d 'with --in-place: convert what each folder holds, all the way down'
complete $open -l backup -d 'with --in-place: keep each original as NAME~ or NAME and SUFFIX'
complete $open -l keep-times -d "with --in-place: give each new file the original's times"
complete $open -l keep-declarations -d 'with --in-place: leave charset declarations as they are'
complete $open -l repair -d 'mend lines in another page or double-encoded'
complete $open -l guess -d 'with --in-place: convert unsure files too'
complete $open -l version -d 'print the version and the licence'
