#!/bin/sh
# Runs as root inside the test container, started by systemd as kvt-check.service once
# the freshly booted system is up. The package is the host's (/usr is shared); /etc and
# /var started empty, so the accounts and folders come from sysusers.d and tmpfiles.d.
# Each check appends "ok - WHAT" or "not ok - WHAT: DETAIL" to /run/kvt-out/results;
# the last line is "done N" with N the number of failed checks. The container powers
# off when this ends (the unit's SuccessAction/FailureAction).
set -u
in=/run/kvt-in
res=/run/kvt-out/results
work=$(mktemp -d)
fails=0
echo "started" >"$res"

detail=""
ok() { echo "ok - $1" | tee -a "$res"; }
bad() {
    echo "not ok - $1" | tee -a "$res"
    fails=$((fails + 1))
}
# check WHAT COMMAND...: one line for the result of COMMAND, then what equals found instead.
check() {
    what=$1
    shift
    detail=""
    if "$@"; then ok "$what"; else bad "$what"; fi
    [ -z "$detail" ] || echo "  $detail" | tee -a "$res"
}
# poll SECONDS COMMAND...: runs COMMAND until it succeeds, for at most SECONDS.
poll() {
    end=$(($(date +%s) + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.2
    done
}
equals() { [ "$1" = "$2" ] || { detail="expected '$2', found '$1'"; return 1; }; }
# within GOT LIMIT: GOT (d.d, as systemd-analyze prints) is at most LIMIT; no awk here
# (/usr/bin/awk is an alternative, whose link lives in the empty /etc).
within() {
    if echo "$1" | grep -Eqx '[0-9]+\.[0-9]' && [ "$(echo "$1" | tr -d .)" -le "$(echo "$2" | tr -d .)" ]; then
        return 0
    fi
    detail="expected at most $2, found '$1'"
    return 1
}
# status_of PID FIELD: a line of /proc/PID/status, its value only (tabs as spaces).
status_of() { sed -n "s/^$2:[[:space:]]*//p" "/proc/$1/status" | tr '\t' ' '; }
main_pid() { systemctl show -p MainPID --value "$1"; }

# --- Accounts and folders made at boot from the package's sysusers.d and tmpfiles.d
check "sysusers made the user kivo (no login, no home)" \
    equals "$(getent passwd kivo | cut -d: -f6,7)" "/nonexistent:/usr/sbin/nologin"
check "kivo-web's primary group is kivo" equals "$(id -gn kivo-web 2>&1)" kivo
check "kivo-exporter is a member of kivo" sh -c 'id -nG kivo-exporter | tr " " "\n" | grep -qx kivo'
check "tmpfiles made /etc/kivo (755 root root)" equals "$(stat -c '%a %U %G' /etc/kivo 2>&1)" "755 root root"
check "tmpfiles made /etc/kivo-exporter (750 root kivo-exporter)" \
    equals "$(stat -c '%a %U %G' /etc/kivo-exporter 2>&1)" "750 root kivo-exporter"

# --- kivohost.socket and the service it starts
systemctl start kivohost.socket
check "kivohost.socket listens" systemctl -q is-active kivohost.socket
check "kivohost.service waits for the first request" sh -c '! systemctl -q is-active kivohost.service'
check "a Version request is answered (kivoctl version as root)" \
    sh -c "timeout 30 kivoctl version >$work/version 2>&1"
sed 's/^/  /' "$work/version" >>"$res"
check "the Version request started kivohost.service" systemctl -q is-active kivohost.service
pid=$(main_pid kivohost.service)
kivo_uid=$(id -u kivo)
check "kivohost runs as kivo" equals "$(status_of "$pid" Uid)" "$kivo_uid $kivo_uid $kivo_uid $kivo_uid"
check "kivohost's group is kivo" equals "$(status_of "$pid" Gid | cut -d' ' -f1)" "$(getent group kivo | cut -d: -f3)"
# CAP_NET_RAW is capability 13.
check "kivohost holds CAP_NET_RAW only (effective)" equals "$(status_of "$pid" CapEff)" 0000000000002000
check "kivohost's bounding set is CAP_NET_RAW only" equals "$(status_of "$pid" CapBnd)" 0000000000002000
check "kivohost has no_new_privs" equals "$(status_of "$pid" NoNewPrivs)" 1
# A member of kivo: the requester is named through socket diagnostics, and discovery needs
# the packet socket on eth1 (the far end plays the example devices).
check "a member of kivo discovers the simulated device on eth1" sh -c \
    "timeout 60 setpriv --reuid=kivo-exporter --regid=kivo-exporter --init-groups kivoctl discover -i eth1 >$work/discover 2>&1 && grep -qi '02:00:00:00:10:01' $work/discover"
sed 's/^/  /' "$work/discover" >>"$res"
nobody=$(id -u nobody)
check "a user outside kivo is refused" sh -c \
    "! timeout 60 setpriv --reuid=nobody --regid=nogroup --clear-groups kivoctl --json discover -i eth1 >$work/refused 2>&1 && grep -q '\"refused\"' $work/refused"
sed 's/^/  /' "$work/refused" >>"$res"
check "kivohost logs the refusal for uid $nobody" poll 20 sh -c \
    "journalctl -q -u kivohost.service | grep -q 'request from uid $nobody: not in the allow-list'"
check "a user outside kivo may still ask the version" \
    timeout 30 setpriv --reuid=nobody --regid=nogroup --clear-groups kivoctl version

# --- kivo-web.service
check "kivo-web.service starts" timeout 60 systemctl start kivo-web.service
check "kivo-web's token file is 640 root kivo" equals "$(stat -c '%a %U %G' /etc/kivo/web-token 2>&1)" "640 root kivo"
token=$(cat /etc/kivo/web-token 2>/dev/null)
check "the token is 48 hex digits" sh -c "echo '$token' | grep -Eqx '[0-9a-f]{48}'"
web=http://127.0.0.1:8080
check "kivo-web answers on 127.0.0.1:8080" poll 30 curl -sf -o /dev/null "$web/"
code() { curl -s -o "$work/body" -w '%{http_code}' "$@"; }
# The address kivo-web prints: it sets the token's cookie and leads to the page.
check "the page's address with the token: 303 to the page" \
    equals "$(code -c "$work/cookies" "$web/?token=$token")" 303
check "the page with the token's cookie: 200 and the page" \
    sh -c "[ \"\$(curl -s -b $work/cookies -o $work/page -w '%{http_code}' '$web/')\" = 200 ] && grep -qi '<html' $work/page"
check "the page with a wrong token: 401" equals "$(code "$web/?token=0$token")" 401
check "/api/version with the token: 200" equals "$(code -H "Authorization: Bearer $token" "$web/api/version")" 200
sed 's/^/  /' "$work/body" >>"$res"
echo >>"$res"
check "/api/version without the token: 401" equals "$(code "$web/api/version")" 401
check "/api/version with the page's cookie: 200" equals "$(code -b "$work/cookies" "$web/api/version")" 200
pid=$(main_pid kivo-web.service)
check "kivo-web runs as kivo-web with no capability" \
    equals "$(status_of "$pid" Uid | cut -d' ' -f1) $(status_of "$pid" CapEff)" "$(id -u kivo-web) 0000000000000000"
check "kivo-web's upload folder /run/kivo-web is 710 kivo-web kivo" \
    equals "$(stat -c '%a %U %G' /run/kivo-web 2>&1)" "710 kivo-web kivo"
# An upgrade through kivo-web: the image waits in kivo-web's upload folder, and kivohost, in its
# own sandbox, must reach it there (the simulator's "garage" asks for an image).
head -c 65536 /dev/urandom >"$work/image.bin"
check "an image uploaded to kivo-web starts an upgrade of 02:00:00:00:40:01" \
    equals "$(code -H "Authorization: Bearer $token" -F interface=eth1 -F mac=02:00:00:00:40:01 -F vlan=0 \
        -F "image=@$work/image.bin" "$web/api/firmware/upgrade")" 200
sed 's/^/  /' "$work/body" >>"$res"
echo >>"$res"
fw_final() {
    curl -s -H "Authorization: Bearer $token" -o "$work/fw" "$web/api/firmware/status" &&
        grep -q '"final": *true' "$work/fw"
}
poll 90 fw_final
check "the upgrade through kivo-web succeeded" grep -q '"state": *"succeeded"' "$work/fw"
sed 's/^/  /' "$work/fw" >>"$res"
echo >>"$res"
check "the uploaded image is gone after the transfer" \
    equals "$(find /run/kivo-web -type f 2>&1 | wc -l)" 0

# --- kivo-exporter.service with the example configuration (the example's device password
# is the simulator's)
install -m 0644 /usr/share/doc/kivo/examples/kivo-exporter.yml /etc/kivo-exporter/kivo-exporter.yml
printf 'demo\n' >/etc/kivo-exporter/living-room.pw
chown kivo-exporter /etc/kivo-exporter/living-room.pw
chmod 0600 /etc/kivo-exporter/living-room.pw
check "kivo-exporter.service starts" timeout 60 systemctl start kivo-exporter.service
metrics=http://127.0.0.1:9551/metrics
check "kivo-exporter answers on 127.0.0.1:9551" poll 30 curl -sf -o /dev/null "$metrics"
# The first scrape may wait for the exporter's first discovery.
curl -sf --max-time 60 -o "$work/metrics" "$metrics"
check "/metrics passes promtool check metrics" sh -c "promtool check metrics <$work/metrics >$work/promtool 2>&1"
sed 's/^/  /' "$work/promtool" >>"$res"
check "/metrics shows kivo_up 1" grep -qx 'kivo_up 1' "$work/metrics"
check "/metrics shows the example device up" grep -Eq '^kivo_device_up\{.*mac="02:00:00:00:10:01".*\} 1$' "$work/metrics"
grep '^kivo_' "$work/metrics" | sed 's/^/  /' >>"$res"

# --- Exposure of each unit as the running manager rates it, against the documented figure
while read -r unit limit; do
    got=$(systemd-analyze security --no-pager "$unit" 2>&1 |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    check "$unit exposure $got within the documented $limit" \
        within "$got" "$limit"
done <"$in/exposure"

check "no unit failed" equals "$(systemctl list-units --failed --plain --no-legend 'kivo*' | wc -l)" 0
systemctl list-units --failed --plain --no-legend 'kivo*' | sed 's/^/  /' >>"$res"
echo "done $fails" >>"$res"
exit 0
