#!/bin/bash
# Installation into a staging root: the binary, the man page, the completions and the
# licence land under the prefix asked for and nothing else does; each completion lies
# where its shell looks (the real shells, with the staged files bound over the real
# folders); the installed binary works; cpack leaves the manifest alone; uninstall
# removes what the last install put there and nothing else.
# Arguments: kiv, source folder, build folder, cmake.
. "$(dirname "$0")/lib.sh" "$@"
BUILD=$3
CMAKE=${4:-cmake}
# The build's own manifest, from a real install perhaps, is put back afterwards.
manifest=$BUILD/install_manifest.txt
[ -f "$manifest" ] && cp -p "$manifest" "$T/manifest.kept"
trap '[ -f "$T/manifest.kept" ] && cp -p "$T/manifest.kept" "$manifest"; rm -rf "$T"' EXIT

# prefix | the zsh completion | the fish completion, relative to the prefix or absolute |
# whether the shells look there
while IFS='|' read -r prefix zsh fish shells; do
  files="bin/kiv share/man/man1/kiv.1.gz share/bash-completion/completions/kiv $zsh $fish
    share/doc/kiv/copyright share/doc/kiv/changelog.gz"
  stage=$T/stage${prefix//\//_}
  DESTDIR=$stage "$CMAKE" --install "$BUILD" --prefix "$prefix" >"$T/log" 2>&1
  status=$?
  cp "$T/log" "$T/err"
  expect_status "install $prefix" 0
  find "$stage" -type f | sort >"$T/found"
  for f in $files; do
    [[ $f == /* ]] || f=$prefix/$f
    echo "$stage$f"
    cp "$stage$f" "$T/${prefix//\//_}.${f##*/}" 2>/dev/null  # compared below
  done | sort >"$T/want"
  expect_file "installed files $prefix" "$T/found" "$T/want"
  checks=$((checks + 1))
  [ -x "$stage$prefix/bin/kiv" ] || fail "install $prefix: bin/kiv is not executable"
  gzip -dc "$stage$prefix/share/man/man1/kiv.1.gz" >"$T/man"
  expect_file "man page $prefix" "$T/man" "$SRC/docs/kiv.1"
  expect_file "bash completion $prefix" "$T/${prefix//\//_}.kiv" "$SRC/completion/kiv.bash"
  expect_file "zsh completion $prefix" "$T/${prefix//\//_}._kiv" "$SRC/completion/_kiv"
  expect_file "fish completion $prefix" "$T/${prefix//\//_}.kiv.fish" "$SRC/completion/kiv.fish"
  [ "$shells" = yes ] || continue

  # Each shell, as a fresh user starts it, finds the completion there: in a mount
  # namespace of our own, the staged folders cover the real ones.
  binds=()
  for f in share/bash-completion/completions/kiv $zsh $fish; do
    [[ $f == /* ]] || f=$prefix/$f
    d=${f%/*}
    while [ ! -d "$d" ]; do d=${d%/*}; done
    binds+=("$d")
  done
  unshare -rm --propagation private true 2>/dev/null || { unchecked=1 && continue; }
  command -v zsh >/dev/null && command -v fish >/dev/null || { unchecked=1 && continue; }
  mkdir -p "$T/home"
  env -u XDG_DATA_DIRS -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u BASH_COMPLETION_USER_DIR \
    HOME="$T/home" PATH="$stage$prefix/bin:$PATH" unshare -rm --propagation private bash -c '
    stage=$1 && shift
    for d in $(printf "%s\n" "$@" | sort -u); do mount --bind "$stage$d" "$d" || exit 1; done
    if [ -f /usr/share/bash-completion/bash_completion ]; then
      bash --norc -c ". /usr/share/bash-completion/bash_completion; __load_completion kiv;
        complete -p kiv"
    fi
    zsh -fc "autoload -Uz compinit && compinit -u -D && print -r -- \$_comps[kiv]"
    fish -c "complete -C \"kiv -o u\"" | cut -f1
  ' shells "$stage" "${binds[@]}" >"$T/out" 2>"$T/err"
  status=$?
  expect_status "shells $prefix" 0
  want='complete -F _kiv kiv\n_kiv\nutf-8\n'
  [ -f /usr/share/bash-completion/bash_completion ] || want='_kiv\nutf-8\n' unchecked=1
  expect_text "shells find the completions under $prefix" "$T/out" "$want"
done <<TABLE
/usr|share/zsh/vendor-completions/_kiv|share/fish/vendor_completions.d/kiv.fish|yes
/opt/kiv|share/zsh/site-functions/_kiv|share/fish/vendor_completions.d/kiv.fish|no
/usr/local|share/zsh/site-functions/_kiv|/etc/fish/completions/kiv.fish|yes
TABLE

# The installed binary, not the one in the build folder, detects and converts.
KIV=$T/stage_usr/usr/bin/kiv
run -T "$(sample mac-cyrillic)" "$(sample cp866)"
expect_status "installed -T" 0
expect_text "installed -T" "$T/out" "$(sample mac-cyrillic): mac-cyrillic\n$(sample cp866): cp866\n"
run -o utf-8 "$(sample cp1251)"
expect_file "installed conversion" "$T/out" "$(sample utf-8)"

# A package made after an install leaves that install's manifest as it was.
cp "$manifest" "$T/manifest.install"
cpack -G TGZ --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/err" 2>&1
status=$?
expect_status "cpack" 0
expect_file "cpack leaves the manifest alone" "$manifest" "$T/manifest.install"

# Uninstall: the last install's files, and its doc folder once empty; nothing else, not
# an earlier install's files either.
stage=$T/both
for prefix in /usr /usr/local; do DESTDIR=$stage "$CMAKE" --install "$BUILD" --prefix $prefix >/dev/null; done
mkdir -p "$stage/usr/local/share/doc/other"
: >"$stage/usr/local/bin/other" && : >"$stage/usr/local/share/doc/other/README"
find "$stage" | sort >"$T/before"
{ cat "$manifest" && echo && echo /usr/local/share/doc/kiv; } | sed "/^\$/d; s|^|$stage|" | sort >"$T/gone"
comm -23 "$T/before" "$T/gone" >"$T/want"
DESTDIR=$stage "$CMAKE" --build "$BUILD" --target uninstall >"$T/err" 2>&1
status=$?
expect_status "uninstall" 0
find "$stage" | sort >"$T/left"
expect_file "uninstall removes the last install only" "$T/left" "$T/want"
checks=$((checks + 1))
[ "$(wc -l <"$T/gone")" = 8 ] || fail "uninstall: the manifest lists [$(cat "$manifest")]"

finish || exit 1
[ -z "${unchecked:-}" ] ||
  { echo "SKIP: without a mount namespace, bash-completion, zsh or fish, not every shell was asked"; exit 77; }
