#!/bin/bash
# The Debian package: cpack builds it from this build, lintian finds nothing to warn about,
# hardening included, and it carries the licence and a changelog of its own version.
# Skipped (77) without the Debian tools, or when this build is not a hardened one.
# Arguments: kiv, source folder, build folder, cpack, 1 when the build is hardened.
. "$(dirname "$0")/lib.sh" "$@"
BUILD=$3
CPACK=$4
for tool in lintian dpkg-deb dpkg-shlibdeps dpkg-parsechangelog; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$5" = 1 ] || { echo "SKIP: packages are made from hardened Release builds"; exit 77; }

"$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/err" 2>&1
status=$?
expect_status "cpack" 0
deb=$(echo "$T"/pkg/kiv_*.deb)
[ -f "$deb" ] || { fail "no package in $T/pkg"; finish; exit 1; }

# Default level, and the hardening tags, which lintian shows only as information.
lintian --display-info "$deb" >"$T/lint" 2>"$T/err"
status=$?
expect_status "lintian" 0
grep -E '^[EW]: |hardening' "$T/lint" >"$T/bad"
expect_text "lintian tags [$(tr '\n' ' ' <"$T/lint")]" "$T/bad" ''

mkdir "$T/root" && dpkg-deb -x "$deb" "$T/root"
doc=$T/root/usr/share/doc/kiv
(cd "$T/root" && find . -type f | sort) >"$T/files"
expect_text "package files" "$T/files" "./usr/bin/kiv
./usr/share/bash-completion/completions/kiv
./usr/share/doc/kiv/changelog.gz
./usr/share/doc/kiv/copyright
./usr/share/fish/vendor_completions.d/kiv.fish
./usr/share/man/man1/kiv.1.gz
./usr/share/zsh/vendor-completions/_kiv
"
# The licence text in the copyright file is LICENSE's, word for word.
sed -n '/^License: Expat$/,$p' "$doc/copyright" | sed '1d; s/^ //; s/^\.$//' >"$T/licence"
sed -n '/^Permission/,$p' "$SRC/LICENSE" >"$T/want"
expect_file "copyright carries LICENSE" "$T/licence" "$T/want"
expect_grep "copyright holder" "$doc/copyright" "Copyright: $(sed -n 's/^Copyright (c) //p' "$SRC/LICENSE")"
gzip -dc "$doc/changelog.gz" >"$T/changelog"
version=$(dpkg-deb -f "$deb" Version)
checks=$((checks + 1))
[ "$(dpkg-parsechangelog -l "$T/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's latest entry is not the package's version $version"
# The C library is all kiv needs: no C++ runtime, no libm.
dpkg-deb -f "$deb" Depends >"$T/depends"
checks=$((checks + 1))
grep -qxE 'libc6 \(>= [0-9.]+\)' "$T/depends" || fail "package depends on [$(cat "$T/depends")]"
"$T/root/usr/bin/kiv" --version | head -1 >"$T/out"
expect_text "kiv --version" "$T/out" "kiv $version\n"

finish
