# Sourced by the benchmark scripts that run kivohost, kivo-devsim and kivoctl from a build
# folder in two network namespaces ($id-host and $id-dev) joined by a veth pair (eth1 on
# both sides). Everything it makes, and every process listed in bed_pids, is removed on
# exit.
#
#   bed_start SCRIPT_NAME ID_PREFIX BUILD_DIR    sets build, id and tmp, or exits
#   bed_wait WHAT COMMAND...                     runs COMMAND until it succeeds (15 s)

bed_pids=()

bed_cleanup() {
    local p
    for p in "${bed_pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    ip netns del "$id-host" 2>/dev/null
    ip netns del "$id-dev" 2>/dev/null
    rm -rf "$tmp"
}

bed_start() {
    bed_name=$1
    build=$(cd "$3" && pwd) || exit 1
    local f
    for f in kivohost kivo-devsim tools/kivoctl/kivoctl; do
        [ -x "$build/$f" ] || { echo "$bed_name: $build/$f is missing: build kivohost kivo-devsim kivoctl" >&2; exit 1; }
    done
    [ "$(id -u)" -eq 0 ] || { echo "$bed_name: needs root (namespaces, raw sockets)" >&2; exit 1; }
    id=$2$$
    tmp=$(mktemp -d "/tmp/$id.XXXXXX")
    trap bed_cleanup EXIT
    trap 'exit 130' INT TERM
    ip netns add "$id-host" && ip netns add "$id-dev" || exit 1
    ip -n "$id-host" link set lo up && ip -n "$id-dev" link set lo up
    ip -n "$id-host" link add eth1 type veth peer name eth1 netns "$id-dev" || exit 1
    ip -n "$id-host" link set eth1 up && ip -n "$id-dev" link set eth1 up
}

bed_wait() {
    local what=$1 deadline=$((SECONDS + 15))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && { echo "$bed_name: $what did not start" >&2; exit 1; }
        sleep 0.1
    done
}
