#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine the way a user would, and checks what
# it put in place: the desktop entry and AppStream file validate, the polkit action names the
# installed program, every library resolves, and the programs start from the installed files.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

fail() { echo "package-check: $*" >&2; exit 1; }

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake --preset package "${launcher[@]}"
cmake --build --preset package
rm -f build-package/brenvik_*.deb
cpack --preset package
debs=(build-package/brenvik_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb="$PWD/${debs[0]}"
echo "== $(basename "$deb")"
dpkg-deb --field "$deb" Package Version Depends Recommends

# --reinstall: a rebuilt package of the same version must replace the files installed before.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "$deb"

installed=$(dpkg -L brenvik)
for file in /usr/bin/brenvik /usr/share/applications/brenvik.desktop \
            /usr/share/metainfo/org.brenvik.brenvik.metainfo.xml \
            /usr/share/polkit-1/actions/org.brenvik.brenvik.policy /usr/share/man/man1/brenvik.1.gz \
            /usr/share/icons/hicolor/16x16/apps/brenvik.png /usr/share/icons/hicolor/256x256/apps/brenvik.png; do
  grep -qx "$file" <<<"$installed" || fail "the package does not install $file"
done

desktop-file-validate /usr/share/applications/brenvik.desktop
appstreamcli validate --no-net /usr/share/metainfo/org.brenvik.brenvik.metainfo.xml
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/brenvik</annotate>' \
  /usr/share/polkit-1/actions/org.brenvik.brenvik.policy || fail "the polkit action does not name /usr/bin/brenvik"
gzip -t /usr/share/man/man1/brenvik.1.gz

programs=(/usr/bin/brenvik /usr/bin/brenvik-cli)
grep -qx /usr/bin/brenvik-cli <<<"$installed" || fail "the package does not install /usr/bin/brenvik-cli"
for program in "${programs[@]}"; do
  if ldd "$program" | grep -q 'not found'; then ldd "$program" >&2; fail "$program misses libraries"; fi
done

/usr/bin/brenvik --version | grep -q '^brenvik V' || fail "brenvik --version printed no version"
# The window must come up from the installed files (platform plugin and all): it runs until killed.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
status=0
(cd "$runtime" && XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen timeout 5 /usr/bin/brenvik) || status=$?
[ "$status" -eq 124 ] || fail "brenvik ended on its own with status $status instead of showing its window"

grep -qx /usr/share/man/man1/brenvik-cli.1.gz <<<"$installed" || fail "brenvik-cli comes without its man page"
/usr/bin/brenvik-cli --version
mkdir -p "$runtime/scan/sub"
printf 'kept\n' >"$runtime/scan/notes.txt"
: >"$runtime/scan/sub/empty.tmp"
listed=$(XDG_RUNTIME_DIR="$runtime" /usr/bin/brenvik-cli invalid-files "$runtime/scan")
grep -q 'empty.tmp' <<<"$listed" || fail "brenvik-cli invalid-files did not list the empty temporary file"
[ -f "$runtime/scan/notes.txt" ] && [ -f "$runtime/scan/sub/empty.tmp" ] ||
  fail "brenvik-cli invalid-files lost a file it only had to list"
# The catalogues and the Chinese man pages are where the installed programs and man look.
for file in /usr/share/locale/en/LC_MESSAGES/brenvik.mo /usr/share/locale/zh_CN/LC_MESSAGES/brenvik.mo \
            /usr/share/man/zh_CN/man1/brenvik.1.gz /usr/share/man/zh_CN/man1/brenvik-cli.1.gz; do
  grep -qx "$file" <<<"$installed" || fail "the package does not install $file"
done
LANGUAGE= LC_ALL= LANG=zh_CN.UTF-8 /usr/bin/brenvik-cli --help | grep -q '^用法' ||
  fail "brenvik-cli does not speak Chinese under zh_CN.UTF-8"
echo "package-check: all checks passed"
