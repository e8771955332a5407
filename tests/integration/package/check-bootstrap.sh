#!/bin/bash
# usage: check-bootstrap.sh SOURCE_DIR
# What each make target installs, run for real on a copy of the Makefile and scripts/bootstrap against
# stand-ins: dpkg-query answers from $MISSING, apt-get, npm and cmake only write down how they were
# called, sudo runs its command.
set -euo pipefail
src=$1
tmp=$(mktemp -d /tmp/torvane-boot.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$tmp/bin" "$tmp/src/tests/e2e"
cp -r "$src/Makefile" "$src/scripts" "$tmp/src/" && cp "$src/tests/e2e/package-lock.json" "$tmp/src/tests/e2e/"
cat >"$tmp/bin/dpkg-query" <<'EOF'
#!/bin/sh
for p; do :; done
case " $MISSING " in *" $p "*) exit 1 ;; esac
printf 'install ok installed'
EOF
for tool in apt-get npm cmake ctest node; do
  # shellcheck disable=SC2016 # expanded by the stand-in
  printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' "$tool" >"$tmp/bin/$tool"
done
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin/"*
export PATH="$tmp/bin:$PATH" CALLS="$tmp/calls"

# usage: target TARGET MISSING: runs make TARGET, leaves its calls in $tmp/calls and output in $tmp/out.
target() { : >"$CALLS" && { MISSING=$2 make -s -C "$tmp/src" "$1" >"$tmp/out" 2>&1 || true; }; }
installed() { grep '^apt-get install' "$CALLS" || true; }

target package "qt6-base-dev lintian chromium"
grep -q "missing qt6-base-dev;" "$tmp/out" || fail "make package did not name what is missing: $(cat "$tmp/out")"
[ ! -s "$CALLS" ] || fail "make package went on or installed: $(cat "$CALLS")"
# What only tests need is no business of install: it builds.
target install "lintian chromium xvfb"
if [ -n "$(installed)" ] || ! grep -q '^cmake --install build/release' "$CALLS"; then fail "make install: $(cat "$CALLS")"; fi

target run "tmux chromium lintian"
[[ "$(installed)" =~ \ tmux$ ]] || fail "make run installed $(installed)"
! grep -q '^npm' "$CALLS" || fail "make run installed the browser tests' packages"
target bench "tmux chromium"
[[ "$(installed)" =~ \ tmux\ chromium$ ]] && grep -q '^npm ci' "$CALLS" || fail "make bench installed $(cat "$CALLS")"
# make uninstall takes back what the last make install listed, Torvane's own folders included.
p=$tmp/prefix && mkdir -p "$tmp/src/build/release" "$p/bin" "$p/libexec/torvane" "$p/share/doc/torvane"
touch "$p/bin/torvane" "$p/libexec/torvane/torvane-helper" "$p/share/doc/torvane/copyright"
find "$p" -type f >"$tmp/src/build/release/installed-files.txt"
make -s -C "$tmp/src" uninstall && [ -z "$(find "$p" -name '*torvane*')" ] || fail "make uninstall left $(find "$p")"
echo "make run installs what running needs, make bench and test the test stack, install and package nothing"
