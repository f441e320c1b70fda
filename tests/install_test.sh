#!/bin/sh
# Installation checks: install_test.sh MODE BUILD_DIR SOURCE_DIR
#   pages    the manual pages lint clean and render
#   package  the Debian package holds every file where the manual pages say,
#            and the message catalogues, which its programs find
#   unit     the service unit verifies (skipped, status 77, without systemd)
#   security each unit's exposure, as systemd-analyze rates it, is at most
#            2.0 (skipped, status 77, before systemd 250, which has no
#            --offline)
#   lintian  the package has no lintian errors (skipped, status 77, without
#            lintian, except in CI)
#   scripts  the maintainer scripts reload systemd, restart the running
#            units after an upgrade and stop them before a removal, through
#            deb-systemd-invoke and deb-systemd-helper where present; run in
#            a mount namespace where systemd seems to run (skipped, status
#            77, where none can be made, except in CI)
set -eu
mode=$1 build=$2 src=$3
if [ "$mode" = scripts ] && [ -z "${CHAT_IN_NAMESPACE:-}" ]; then
    if ! unshare --mount true 2>/dev/null || [ ! -d /usr/lib/systemd/system ]; then
        [ "${CI:-}" = true ] && { echo "FAIL: no mount namespace or no /usr/lib/systemd/system in CI"; exit 1; }
        echo "no mount namespace (it needs root) or no /usr/lib/systemd/system: skipped"
        exit 77
    fi
    exec env CHAT_IN_NAMESPACE=1 unshare --mount sh "$0" "$@"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

make_root() {
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null
    dpkg -x "$work"/pkg/chat-server_*.deb "$work/root"
}

case $mode in
pages)
    for page in "$src/man/chat_server.8" "$src/man/chat_client.1" "$src/man/chat_history.1" "$src/man/chat_web.8" \
                "$src/man/chat_archive.8"; do
        warnings=$(groff -k -man -Tutf8 -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "$page: $warnings"
        lines=$(MANWIDTH=80 man -l "$page" 2>&1 | wc -l)
        [ "$lines" -gt 40 ] || fail "$page renders to $lines lines"
    done
    ;;
package)
    make_root
    # Paths the pages name, as installed (the pages themselves compressed).
    for path in $(grep -h -o '/usr/[A-Za-z0-9_./@-]*[A-Za-z0-9_]' "$src"/man/*.[18] | sort -u); do
        [ -e "$work/root$path" ] || [ -e "$work/root$path.gz" ] ||
            fail "the manual pages name $path; the package lacks it"
    done
    for path in /usr/share/man/man8/chat_server.8.gz /usr/share/man/man1/chat_client.1.gz \
                /usr/share/man/man1/chat_history.1.gz /usr/share/man/man8/chat_archive.8.gz \
                /usr/share/doc/chat-server/copyright; do
        [ -f "$work/root$path" ] || fail "no $path in the package"
    done
    gzip -dc "$work/root/usr/share/man/man1/chat_history.1.gz" | grep -q '^.TH CHAT_HISTORY' ||
        fail "chat_history(1) is not a compressed manual page"
    export LC_ALL=C.UTF-8 LANGUAGE=en
    "$work/root/usr/bin/chat_history" --help | grep -q "usage: chat_history" || fail "chat_history does not run"
    "$work/root/usr/bin/chat_client" --help | grep -q "usage: chat_client" || fail "client does not run"
    "$work/root/usr/sbin/chat_archive" --help | grep -q "usage: chat_archive" || fail "chat_archive does not run"
    # The archive's unit starts after the server, as the server's user,
    # whose history only that user can read.
    archive="$work/root/usr/lib/systemd/system/chat-archive.service"
    grep -q '^After=.*chat-server.service' "$archive" || fail "chat-archive.service does not start after the server"
    grep -q '^User=chat-server$' "$archive" || fail "chat-archive.service does not run as chat-server"
    # The installed programs find the installed catalogues (found beside
    # them, so also where dpkg -x put them).
    if [ -d "$build/locale" ]; then
        [ -f "$work/root/usr/share/locale/ja/LC_MESSAGES/chat-server.mo" ] || fail "no Japanese messages in the package"
        for program in bin/chat_client bin/chat_history sbin/chat_server sbin/chat_web sbin/chat_archive; do
            [ -x "$work/root/usr/$program" ] || continue
            LANGUAGE=ja "$work/root/usr/$program" --help | grep -q "^使い方: " ||
                fail "the installed $program does not speak Japanese"
        done
    fi
    if [ -x "$build/chat_web" ]; then
        [ -f "$work/root/usr/share/man/man8/chat_web.8.gz" ] || fail "no chat_web(8) in the package"
        "$work/root/usr/sbin/chat_web" --help | grep -q "usage: chat_web" || fail "chat_web does not run"
        web="$work/root/usr/lib/systemd/system/chat-web.service"
        grep -q '^After=.*chat-server.service' "$web" || fail "chat-web.service does not start after the server"
        # The gateway's command line as the unit's shell makes it: the rooms
        # file, where it exists, wins over the one server.
        cmd=$(sed -n "s/^ExecStart=\/bin\/sh -c '\(.*\)'$/\1/p" "$web" |
            sed "s/\\$\\$/\$/g; s|/etc/chat-web/rooms|$work/rooms|g; s|exec [^ ]*/chat_web|echo chat_web|")
        run_unit() { CHAT_SERVER=127.0.0.1:12345 CHAT_WEB_LISTEN=0.0.0.0:8080 CHAT_WEB_OPTIONS="--title x" sh -c "$cmd"; }
        [ "$(run_unit)" = "chat_web --listen 0.0.0.0:8080 --server 127.0.0.1:12345 --history /var/lib/chat-server/chat.dat --title x" ] ||
            fail "chat-web.service runs '$(run_unit)' for one room"
        : >"$work/rooms"
        [ "$(run_unit)" = "chat_web --listen 0.0.0.0:8080 --rooms $work/rooms --title x" ] ||
            fail "chat-web.service runs '$(run_unit)' with a rooms file"
        # The same dynamic user in both units lets the gateway read the history.
        for u in "$web" "$work/root/usr/lib/systemd/system/chat-server.service"; do
            grep -q '^User=chat-server$' "$u" || fail "$u does not run as chat-server"
        done
    fi
    unit="$work/root/usr/lib/systemd/system/chat-server.service"
    grep -q '^StateDirectory=chat-server$' "$unit" || fail "the state directory is not /var/lib/chat-server"
    # A room's units: its own folder under the same user, its port from its
    # own file and never the single unit's, its archive after its server.
    room="$work/root/usr/lib/systemd/system/chat-server@.service"
    grep -q '^StateDirectory=chat-server/%i$' "$room" || fail "a room's server has no folder of its own"
    grep -q '^EnvironmentFile=/etc/chat-server/%i.conf$' "$room" || fail "a room's port is not read from its file"
    ! grep -q 12345 "$room" || fail "a room's server falls back to the single unit's port"
    grep -q '^User=chat-server$' "$room" || fail "a room's server does not run as chat-server"
    room_archive="$work/root/usr/lib/systemd/system/chat-archive@.service"
    grep -q '^After=chat-server@%i.service' "$room_archive" || fail "a room's archive does not start after its server"
    grep -q -- '--history /var/lib/chat-server/%i/chat.dat' "$room_archive" || fail "a room's archive reads another history"
    grep -q '^Restart=always$' "$unit" || fail "the unit does not restart the server after an unasked-for exit"
    grep -q '/var/lib/chat-server/chat.dat' "$src/man/chat_server.8" || fail "chat_server(8) does not say where the history lives"
    ;;
unit)
    command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
    make_root
    # Verify the unit as installed, with ExecStart pointing into the package.
    sed "s|/usr/sbin/chat_server|$work/root/usr/sbin/chat_server|" \
        "$work/root/usr/lib/systemd/system/chat-server.service" >"$work/chat-server.service"
    systemd-analyze verify --man=no "$work/chat-server.service" || fail "systemd-analyze verify"
    sed "s|/usr/sbin/chat_archive|$work/root/usr/sbin/chat_archive|" \
        "$work/root/usr/lib/systemd/system/chat-archive.service" >"$work/chat-archive.service"
    systemd-analyze verify --man=no "$work/chat-archive.service" || fail "systemd-analyze verify chat-archive"
    # A room's units, as one instance of each.
    for name in chat-server chat-archive; do
        program=$(echo "$name" | tr - _)
        sed "s|/usr/sbin/$program|$work/root/usr/sbin/$program|" \
            "$work/root/usr/lib/systemd/system/$name@.service" >"$work/$name@lab.service"
        systemd-analyze verify --man=no "$work/$name@lab.service" || fail "systemd-analyze verify $name@lab"
    done
    if [ -f "$work/root/usr/lib/systemd/system/chat-web.service" ]; then
        sed "s|/usr/sbin/chat_web|$work/root/usr/sbin/chat_web|" \
            "$work/root/usr/lib/systemd/system/chat-web.service" >"$work/chat-web.service"
        systemd-analyze verify --man=no "$work/chat-web.service" || fail "systemd-analyze verify chat-web"
    fi
    ;;
security)
    command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
    version=$(systemd-analyze --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')
    [ "${version:-0}" -ge 250 ] || { echo "systemd ${version:-?} rates no unit files: skipped"; exit 77; }
    make_root
    rated=0
    for unit in "$work"/root/usr/lib/systemd/system/chat-*.service; do
        name=$(basename "$unit")
        report=$(LC_ALL=C systemd-analyze security --offline=true "$unit" 2>&1) ||
            fail "systemd-analyze security $name: $report"
        figure=$(echo "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
        [ -n "$figure" ] || fail "no exposure level for $name: $report"
        echo "$name: exposure $figure"
        awk -v f="$figure" 'BEGIN { exit !(f <= 2.0) }' ||
            fail "$name is exposed $figure, more than 2.0:
$(echo "$report" | grep -v '^+ ' | grep -v '^  NAME')"
        rated=$((rated + 1))
    done
    [ "$rated" -ge 1 ] || fail "the package holds no unit"
    ;;
lintian)
    if ! command -v lintian >/dev/null; then
        [ "${CI:-}" = true ] && fail "lintian is missing in CI"
        echo "no lintian: skipped"
        exit 77
    fi
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null
    lintian --fail-on error --tag-display-limit 0 "$work"/pkg/chat-server_*.deb 2>&1 ||
        fail "lintian found errors in the package"
    ;;
scripts)
    make_root
    dpkg-deb -e "$work"/pkg/chat-server_*.deb "$work/control"
    # Inside this namespace only: the package's units, its templates for
    # rooms among them, where systemd keeps units, and a /run where
    # systemd seems to run.
    mkdir "$work/units"
    cp "$work"/root/usr/lib/systemd/system/* "$work/units/"
    mount --bind "$work/units" /usr/lib/systemd/system
    mount -t tmpfs none /run
    mkdir -p /run/systemd/system
    # Tools that only say how they were called.
    mkdir "$work/tools" "$work/systemctl-only"
    for tool in deb-systemd-invoke deb-systemd-helper systemctl; do
        printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$work/tools/$tool"
        chmod +x "$work/tools/$tool"
    done
    cp "$work/tools/systemctl" "$work/systemctl-only/"
    # run PATH SCRIPT ARGUMENT...: the calls the script made, one a line.
    run() {
        path=$1 script=$2
        shift 2
        : >"$work/calls"
        PATH=$path /bin/sh "$work/control/$script" "$@" || fail "$script $* exited with $?"
        cat "$work/calls"
    }
    # expect WHAT ACTUAL EXPECTED
    expect() { [ "$2" = "$3" ] || fail "$1 made the calls
$2
instead of
$3"; }
    units=""
    for unit in chat-web.service chat-server.service chat-archive.service; do
        [ -e "$work/units/$unit" ] && units="$units $unit"
    done
    each() { for unit in $units "$@"; do echo "$prefix $unit"; done; }
    prefix="deb-systemd-helper update-state"
    states=$(each chat-server@.service chat-archive@.service)
    reload="systemctl --system daemon-reload"
    expect "postinst configure" "$(run "$work/tools" postinst configure)" "$states
$reload"
    prefix="deb-systemd-invoke try-restart"
    expect "postinst configure 1.0.0" "$(run "$work/tools" postinst configure 1.0.0)" "$states
$reload
$(each 'chat-server@*.service' 'chat-archive@*.service')"
    expect "prerm upgrade" "$(run "$work/tools" prerm upgrade 1.0.1)" ""
    prefix="deb-systemd-invoke stop"
    expect "prerm remove" "$(run "$work/tools" prerm remove)" "$(each 'chat-server@*.service' 'chat-archive@*.service')"
    prefix="systemctl stop"
    expect "prerm remove without deb-systemd-invoke" "$(run "$work/systemctl-only" prerm remove)" \
        "$(each 'chat-server@*.service' 'chat-archive@*.service')"
    units="chat-web.service chat-server.service chat-archive.service"
    prefix="deb-systemd-helper purge"
    expect "postrm purge" "$(run "$work/tools" postrm purge)" "$(each chat-server@.service chat-archive@.service)
$reload"
    expect "postrm remove" "$(run "$work/tools" postrm remove)" "$reload"
    rmdir /run/systemd/system
    expect "prerm remove without systemd" "$(run "$work/tools" prerm remove)" ""
    expect "postinst configure 1.0.0 without systemd" "$(run "$work/tools" postinst configure 1.0.0)" "$states"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok: $mode"
