#!/bin/bash
# Installation into a staging root: the binary, the man page, the completions and the
# licence land under the prefix asked for and nothing else does, and the installed binary
# works.
# Arguments: kiv, source folder, build folder, cmake.
. "$(dirname "$0")/lib.sh" "$@"
BUILD=$3
CMAKE=${4:-cmake}
files="bin/kiv share/man/man1/kiv.1.gz share/bash-completion/completions/kiv
  share/zsh/vendor-completions/_kiv share/fish/vendor_completions.d/kiv.fish
  share/doc/kiv/copyright share/doc/kiv/changelog.gz"

for prefix in /usr /opt/kiv; do
  stage=$T/stage$prefix
  DESTDIR=$stage "$CMAKE" --install "$BUILD" --prefix "$prefix" >"$T/log" 2>&1
  status=$?
  cp "$T/log" "$T/err"
  expect_status "install $prefix" 0
  want='' && for f in $files; do want+="$stage$prefix/$f\n"; done
  find "$stage" -type f | sort >"$T/found"
  expect_text "installed files $prefix" "$T/found" "$(printf "$want" | sort)\n"
  checks=$((checks + 1))
  [ -x "$stage$prefix/bin/kiv" ] || fail "install $prefix: bin/kiv is not executable"
  gzip -dc "$stage$prefix/share/man/man1/kiv.1.gz" >"$T/man"
  expect_file "man page $prefix" "$T/man" "$SRC/docs/kiv.1"
  expect_file "completion $prefix" "$stage$prefix/share/bash-completion/completions/kiv" \
    "$SRC/completion/kiv.bash"
  expect_file "zsh completion $prefix" "$stage$prefix/share/zsh/vendor-completions/_kiv" \
    "$SRC/completion/_kiv"
  expect_file "fish completion $prefix" \
    "$stage$prefix/share/fish/vendor_completions.d/kiv.fish" "$SRC/completion/kiv.fish"
done

# The installed binary, not the one in the build folder, detects and converts.
KIV=$T/stage/usr/usr/bin/kiv
run -T "$(sample mac-cyrillic)" "$(sample cp866)"
expect_status "installed -T" 0
expect_text "installed -T" "$T/out" "$(sample mac-cyrillic): mac-cyrillic\n$(sample cp866): cp866\n"
run -o utf-8 "$(sample cp1251)"
expect_file "installed conversion" "$T/out" "$(sample utf-8)"

finish
