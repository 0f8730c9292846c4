#!/bin/sh
# The Debian package of a build tree: it builds, holds what an install needs, its
# units pass systemd-analyze verify, and its kivohost runs unprivileged (the
# Unprivileged integration test, given the unpacked binary).
#   test_package.sh SOURCE_DIR BUILD_DIR UNPRIVILEGED_TEST_BINARY [DEB_COPY]
# DEB_COPY: where to leave a copy of the package (the systemd test installs it); an old
# copy there goes first, so that a failed build leaves none.
set -e
src=$1
build=$2
itest=$3
copy=${4:-}
work=$(mktemp -d /tmp/kvt-pkg-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

if [ -n "$copy" ]; then rm -f "$copy"; fi
deb=$(KIVO_PACKAGE_OUT="$work/out" "$src/scripts/package.sh" "$build" | tail -n 1)
[ -f "$deb" ] || { echo "package.sh printed no package: $deb" >&2; exit 1; }
if [ -n "$copy" ]; then
    mkdir -p "$(dirname "$copy")"
    cp "$deb" "$copy"
fi

dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
missing=0
for f in usr/sbin/kivohost usr/bin/kivoctl usr/bin/kivo-devsim \
    usr/share/man/man8/kivohost.8 usr/share/man/man1/kivoctl.1 usr/share/man/man1/kivo-devsim.1 \
    usr/lib/systemd/system/kivohost.service usr/lib/systemd/system/kivohost.socket \
    usr/share/doc/kivo/README.md usr/share/doc/kivo/security.md usr/share/doc/kivo/protocol.md \
    usr/share/doc/kivo/examples/demo-devices.conf usr/share/doc/kivo/tools/devsim/README.md \
    usr/share/doc/kivo/copyright usr/share/doc/kivo/fleet.md usr/share/doc/kivo/package.md \
    usr/share/doc/kivo/examples/ansible/site.yml \
    usr/share/kivo/ansible/ansible_collections/kivo/ghn/plugins/modules/kivo_param.py \
    usr/bin/kivo-exporter usr/share/man/man1/kivo-exporter.1 usr/lib/systemd/system/kivo-exporter.service \
    usr/share/doc/kivo/examples/kivo-exporter.yml \
    usr/bin/kivo-web usr/share/man/man1/kivo-web.1 usr/lib/systemd/system/kivo-web.service \
    usr/share/kivo/web/index.html usr/share/doc/kivo/web.md \
    usr/lib/sysusers.d/kivo.conf usr/lib/tmpfiles.d/kivo.conf usr/libexec/kivo/kivo-web-token \
    "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/kivo.lua" \
    "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/kivo_crypto.lua"; do
    grep -qx "\./$f" "$work/files" || { echo "missing from the package: /$f" >&2; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
dpkg-deb -I "$deb" >"$work/info"
for s in postinst prerm postrm; do
    grep -q " $s " "$work/info" || { echo "the package has no $s script" >&2; exit 1; }
done
grep -q '^ Depends:.*adduser.*libc6' "$work/info" || { echo "unexpected Depends:" >&2; cat "$work/info" >&2; exit 1; }

root="$work/root"
dpkg-deb -x "$deb" "$root"
unit="$root/usr/lib/systemd/system"
grep -qx 'ExecStart=/usr/sbin/kivohost --allow-group kivo' "$unit/kivohost.service" ||
    { echo "ExecStart does not name the packaged binary" >&2; exit 1; }
# verify checks that ExecStart exists: point it at the unpacked binary.
mkdir "$work/units"
sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$unit/kivohost.service" >"$work/units/kivohost.service"
cp "$unit/kivohost.socket" "$work/units/"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit/kivo-exporter.service" >"$work/units/kivo-exporter.service"
if ! systemd-analyze verify --man=no "$work/units/kivohost.socket" "$work/units/kivohost.service" \
    "$work/units/kivo-exporter.service" \
    >"$work/verify" 2>&1 || [ -s "$work/verify" ]; then
    echo "systemd-analyze verify reported:" >&2
    cat "$work/verify" >&2
    exit 1
fi

grep -q '^ExecStart=/usr/bin/kivo-web .*--token-file /etc/kivo/web-token' "$unit/kivo-web.service" ||
    { echo "kivo-web's ExecStart does not name the packaged binary and token" >&2; exit 1; }
sed -e "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
    -e "s|^ExecStartPre=+/usr/libexec/|ExecStartPre=+$root/usr/libexec/|" "$unit/kivo-web.service" >"$work/units/kivo-web.service"
if ! systemd-analyze verify --man=no "$work/units/kivo-web.service" >"$work/verify-web" 2>&1 ||
    grep -v 'kivohost.socket' "$work/verify-web" | grep -q .; then
    echo "systemd-analyze verify of kivo-web.service reported:" >&2
    cat "$work/verify-web" >&2
    exit 1
fi

# Wireshark loads the packaged dissector from a plugin folder, its ciphers from beside it
# (a home of our own: the personal plugin folder is the one a test may fill).
if command -v tshark >/dev/null; then
    mkdir -p "$work/home/.local/lib/wireshark/plugins"
    cp "$root"/usr/lib/*/wireshark/plugins/kivo*.lua "$work/home/.local/lib/wireshark/plugins/"
    HOME="$work/home" tshark -G plugins >"$work/plugins" 2>"$work/plugins.err" || true
    grep -q 'kivo.lua' "$work/plugins" || { echo "tshark does not list the packaged kivo.lua" >&2; exit 1; }
    HOME="$work/home" tshark -G fields 2>>"$work/plugins.err" | grep -q 'lcmp.deciphered.password' ||
        { echo "the packaged dissector did not register its fields:" >&2; cat "$work/plugins.err" >&2; exit 1; }
    if grep -v 'Running as user' "$work/plugins.err" | grep -q .; then
        echo "tshark complained about the packaged dissector:" >&2
        cat "$work/plugins.err" >&2
        exit 1
    fi
fi

KIVO_TEST_KIVOHOST="$root/usr/sbin/kivohost" "$itest" --gtest_filter='Unprivileged.*'
