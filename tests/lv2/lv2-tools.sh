#!/usr/bin/env bash
# Checks of the built LV2 bundle with Debian's own LV2 tools.
# usage: lv2-tools.sh exports|validate|info|lv2file|jalv|jalv-gtk|ardour BUILD_DIR
#        [FLUXET_PROGRAM]
# In sanitizer builds FLUXET_SANITIZER_PRELOAD names the runtimes the tools need.
set -euo pipefail

check=$1 build=$2 fluxet=${3:-}
bundle=$build/lv2/fluxet.lv2 presets=http://morvane.com/plugins/fluxet/presets#
stereo=http://morvane.com/plugins/fluxet/stereo mono=http://morvane.com/plugins/fluxet/mono
work=$(mktemp -d /tmp/fluxet-lv2-tools-XXXXXX)
pids=()
cleanup() {
    exec 7>&- 2>/dev/null || true
    kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }
retry() { for _ in $(seq 100); do "$@" && return 0 || sleep 0.1; done && return 1; } # ten seconds

# Only this build's bundle and the system's plug-ins: never ~/.lv2, where an installed copy
# could answer instead. The units read empty preference and script folders of their own.
export LV2_PATH="$build/lv2:/usr/lib/lv2"
for name in XDG_CONFIG_HOME XDG_DATA_HOME FLUXET_LOCAL_DATA_DIR FLUXET_SYSTEM_DATA_DIR; do
    mkdir -p "$work/$name"
    export "$name=$work/$name"
done
unset FLUXET_BUNDLE_DIR

# Output is searched with here-strings: with pipefail, "echo | grep -q" fails whenever grep
# quits before echo has written everything.
run_host() { # a tool that loads the plug-in; the tools' own leaks are not ours
    LD_PRELOAD="${FLUXET_SANITIZER_PRELOAD:-${LD_PRELOAD:-}}" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$@"
}
# The factory preset names as the command-line program lists them, not the bundle's generator.
preset_names() { "$fluxet" presets | sed -E 's/^ *[0-9]+ +//'; }
start_jack() { # a private JACK server with a dummy device, for this check alone
    export JACK_DEFAULT_SERVER="fluxet-lv2-test-$$" JACK_NO_AUDIO_RESERVATION=1
    jackd --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 & pids+=($!)
    jack_wait -w -t 30 >/dev/null || { cat "$work/jackd.log"; fail "the JACK server did not start"; }
}
start_xvfb() { # a private X server (Mesa's software renderer), named by DISPLAY
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 3>"$work/displayfd" \
        </dev/null >"$work/xvfb.log" 2>&1 & pids+=($!)
    retry test -s "$work/displayfd" || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
    export DISPLAY=":$(tr -d '[:space:]' <"$work/displayfd")" LIBGL_ALWAYS_SOFTWARE=1
}
free_base_port() { # with the next 100 ports unused by UDP, below those handed to clients
    local first=32768
    read -r first _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
    [ "$first" -gt 20256 ] 2>/dev/null || first=32768
    for _ in $(seq 1000); do
        local base=$((20000 + RANDOM % (first - 128 - 20000)))
        [ -n "$(ss -Hlun "sport >= :$base and sport <= :$((base + 100))")" ] || { echo "$base" && return; }
    done
    fail "no free block of UDP ports"
}

case "$check" in
exports)
    # What hosts load shows them the plug-ins' and the editor's descriptors alone and takes
    # nothing from their libraries (Ardour carries its own Lua); the part it loads shows the entry
    # its table alone.
    for object in "fluxet.so lv2_descriptor lv2ui_descriptor" "fluxet-core.so fluxet_lv2_entry_points"; do
        read -r file wanted <<<"$object"
        symbols=$(nm -D --defined-only "$bundle/$file" | awk '{print $3}' | sort | paste -sd' ')
        [ "$symbols" = "$wanted" ] || fail "$file exports: $symbols"
        readelf -d "$bundle/$file" | grep -q "Flags:.*NODELETE" || fail "$file may be unloaded"
    done
    imports=$(nm -D --undefined-only "$bundle/fluxet.so" | awk '{print $2}')
    foreign=$(grep -iE "lua|osc|plist|avahi|sndfile|smf" <<<"$imports") &&
        fail "fluxet.so imports $foreign" || true
    # A bundle whose part is missing fails to instantiate with one line, and nothing crashes.
    mkdir "$work/lv2" && cp -R "$bundle" "$work/lv2/" && rm "$work/lv2/fluxet.lv2/fluxet-core.so"
    status=0
    out=$(LV2_PATH="$work/lv2" run_host lv2bench -n 4800 "$stereo" 2>&1) || status=$?
    [ "$status" -lt 128 ] || fail "lv2bench died (status $status) on a bundle without its part"
    n=$(grep -c "^fluxet.lv2: cannot load the plug-in: .*fluxet-core.so" <<<"$out") || true
    [ "$n" -eq 1 ] && ! grep -qE "^[0-9.]+ $stereo$" <<<"$out" || { echo "$out"; fail "not refused once"; }
    ;;

validate)
    out=$(lv2_validate "$bundle"/*.ttl 2>&1) && grep -q "Found 0 errors" <<<"$out" &&
        ! grep -q "^error:" <<<"$out" || { echo "$out"; fail "lv2_validate found errors"; }
    for ttl in "$bundle"/*.ttl; do # each also parses on its own
        sordi -o ntriples "$ttl" "file://$ttl" >/dev/null 2>"$work/sordi.log" &&
            [ ! -s "$work/sordi.log" ] || { cat "$work/sordi.log"; fail "sordi cannot read $ttl"; }
    done
    ;;

info)
    for variant in "$stereo 2 Fluxet Stereo" "$mono 1 Fluxet Mono"; do
        read -r uri channels name <<<"$variant"
        out=$(lv2info "$uri" 2>/dev/null)
        grep -qx "$uri" <<<"$(lv2ls)" && grep -q "Name: *$name" <<<"$out" || fail "$uri: not listed as '$name'"
        for count in "^	Port [0-9]*: $((2 + 2 * channels))" "lv2core#AudioPort $((2 * channels))" \
            "atom#AtomPort 2"; do
            n=$(grep -c "${count% *}" <<<"$out") || true
            [ "$n" -eq "${count##* }" ] || fail "$uri: $n lines of ${count% *}"
        done
        while IFS= read -r preset; do
            grep -qx "	 *$preset" <<<"$out" || fail "$uri: preset '$preset' not listed"
        done < <(preset_names)
        n=$(sed -n '/Presets:/,/^$/p' <<<"$out" | grep -c "^	  *[A-Z]") && [ "$n" -eq 18 ] || fail "$uri: $n presets"
        # The editor: one X11 UI in the entry object hosts load.
        uis=$(sed -n '/^	UIs:/,/^	[A-Z]/p' <<<"$out")
        grep -qx "		http://morvane.com/plugins/fluxet/ui" <<<"$uis" &&
            grep -q "Class: *http://lv2plug.in/ns/extensions/ui#X11UI" <<<"$uis" &&
            grep -q "Binary: *file://.*/fluxet.lv2/fluxet.so$" <<<"$uis" || { echo "$uis"; fail "$uri: no editor listed"; }
        # This lv2info lists parameters only in the plug-in's Turtle description.
        lv2info -p "$work/description-$channels.ttl" "$uri" >/dev/null 2>&1
        triples=$(sordi -i turtle -o ntriples "$work/description-$channels.ttl" "file://$work/")
        for predicate in writable readable; do
            n=$(grep -c "patch#$predicate> <http://morvane.com/plugins/fluxet#" <<<"$triples")
            [ "$n" -eq 16 ] || fail "$uri: $n parameters are patch:$predicate"
        done
    done
    ;;

lv2file)
    [ -x "$fluxet" ] || fail "no fluxet program"
    # Each render covers whole blocks: lv2file also runs its last, partial block as a full
    # one, which the command-line program does not.
    for case in "2 $stereo Ensemble 64" "2 $stereo Flangey 300" \
        "2 $stereo Play_with_the_Coarse_Speed 4096" "2 $stereo Wobbly_Delay 1" \
        "1 $mono Chorusy 256" "1 $mono Mangly 1000"; do
        read -r channels uri preset block <<<"$case"
        preset=${preset//_/ }
        frames=$(((48000 / block + 1) * block))
        tones=(pluck 220 sine 331)
        sox -n -r 48000 -e floating-point -b 32 "$work/in.wav" synth "${frames}s" "${tones[@]:0:$((2 * channels))}" gain -3
        render() { run_host lv2file --ignore-clipping -i "$work/in.wav" -b "$block" "$@"; }
        render -o "$work/lv2.wav" -P "$preset" "$uri" >"$work/lv2file.log" 2>&1 &&
            ! grep -q "Preset '$preset' was not found" "$work/lv2file.log" ||
            { cat "$work/lv2file.log"; fail "lv2file failed for $preset"; }
        render -o "$work/defaults.wav" "$uri" >/dev/null 2>&1
        "$fluxet" render -q --preset "$preset" --block "$block" "$work/in.wav" "$work/cli.wav"
        # The data chunks' bytes: a float WAV's peak chunk has a time stamp, and sox would
        # round through integers.
        for name in lv2 cli defaults; do
            at=$(grep -obUa -m1 data "$work/$name.wav" | head -1 | cut -d: -f1)
            tail -c +$((at + 9)) "$work/$name.wav" >"$work/$name.f32"
        done
        [ "$(stat -c %s "$work/lv2.f32")" -eq $((frames * channels * 4)) ] ||
            fail "$preset: lv2file wrote $(stat -c %s "$work/lv2.f32") bytes"
        cmp -s "$work/lv2.f32" "$work/cli.f32" ||
            fail "$uri with '$preset' in blocks of $block differs from fluxet render"
        ! cmp -s "$work/defaults.f32" "$work/lv2.f32" || fail "'$preset' renders like the defaults"
    done
    ;;

jalv)
    # The console jalv without a display: asked to show a UI (-s), it gets the editor's one line
    # and keeps its own prompt.
    unset DISPLAY
    start_jack
    for uri in "$stereo" "$mono"; do
        # jalv reads its commands from standard input and quits at its end. Its console's "set"
        # reaches port controls only, so the parameter is set with -c, which sends patch:Set;
        # jalv 1.6 hands such messages to the plug-in only when asked to show a UI (-s).
        log=$(printf 'presets\npreset %sflangey\n' "$presets" |
            run_host jalv -s -d -c dry_level=0.25 -n "fluxet-test" "$uri" 2>&1) ||
            { echo "$log"; fail "jalv failed for $uri"; }
        n=$(grep -c "^fluxet.lv2: no X display (DISPLAY is not set): the editor is not shown$" <<<"$log") || true
        [ "$n" -eq 1 ] || { echo "$log"; fail "$uri: the editor did not decline in one line"; }
        log=$(grep -v "^fluxet.lv2: no X display" <<<"$log")
        while IFS= read -r preset; do
            grep -qF "($preset)" <<<"$log" || { echo "$log"; fail "$uri: jalv lists no '$preset'"; }
        done < <(preset_names)
        n=$(grep -c "${presets}[a-z0-9_]* (" <<<"$log") || true
        [ "$n" -eq 18 ] || { echo "$log"; fail "$uri: jalv lists $n presets"; }
        # The parameter went out as patch:Set, and the plug-in took it.
        grep -q "patch:property <http://morvane.com/plugins/fluxet#dry_level>" <<<"$log" &&
            grep -q "^dry_level = 0.250000" <<<"$log" || { echo "$log"; fail "$uri: not set"; }
        ! grep -iE "^(error|warning)|doesn't exist|fluxet.lv2:" <<<"$log" ||
            fail "$uri: jalv or the plug-in reported a problem"
    done

    # What jalv set must reach the unit, and the preset must be applied: asked over the
    # instance's own OSC port (127.0.0.1 only), which the preset's "OSC Port Offset" of 0
    # then closes.
    base=$(free_base_port) reply=$(free_base_port)
    port=$((base + 5))
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>%s%s</dict></plist>\n' \
        "<key>OSC Base Port</key><integer>$base</integer>" \
        "<key>OSC Bind Address</key><string>127.0.0.1</string>" >"$XDG_CONFIG_HOME/com.morvane.Fluxet.plist"
    mkfifo "$work/commands"
    run_host jalv -s -c osc_port_offset=5 -c dry_level=0.25 -n "fluxet-osc-test" "$stereo" \
        <"$work/commands" >"$work/jalv-osc.log" 2>&1 &
    jalv_pid=$! && pids+=("$jalv_pid")
    exec 7>"$work/commands"
    # No other process may hold the command pipe open, or jalv never sees its end.
    oscdump -L "$reply" >"$work/osc.log" 2>&1 7>&- & pids+=($!)
    pong() { # oscdump shows a bundle's messages after its time tag
        oscsend 127.0.0.1 "$port" /ping ss "127.0.0.1:$reply" /pong 2>/dev/null
        grep -qE "(^| )/pong " "$work/osc.log"
    }
    retry pong || { cat "$work/jalv-osc.log"; fail "nothing answers on 127.0.0.1:$port"; }
    oscsend 127.0.0.1 "$port" /get iss 0 "127.0.0.1:$reply" /value
    retry grep -qE "(^| )/value " "$work/osc.log" || true
    grep -qE "(^| )/value if 0 0\.25" "$work/osc.log" ||
        { cat "$work/osc.log"; fail "the unit did not take jalv's dry_level"; }
    printf 'presets\npreset %sflangey\n' "$presets" >&7 # presets are read when listed
    port_free() { [ -z "$(ss -Hlun "sport = :$port")" ]; }
    retry port_free && released=yes || released=no
    exec 7>&-
    wait "$jalv_pid" || { cat "$work/jalv-osc.log"; fail "jalv failed"; }
    [ $released = yes ] || fail "the preset did not turn OSC off (port $port still open)"
    ;;

jalv-gtk)
    # jalv.gtk3 embeds the editor (suil puts its X11 window into jalv's GTK window). A drag on
    # the Feedback knob there reaches the plug-in, which reports the new value to jalv: its dump
    # (-d) shows what the plug-in tells the host's side.
    start_xvfb
    start_jack
    export NO_AT_BRIDGE=1 GDK_BACKEND=x11
    # Line by line, so that the dump can be read while jalv runs (plain builds: no preloads).
    stdbuf -oL jalv.gtk3 -d --jack-name fluxet-ui-test "$stereo" >"$work/jalv.log" 2>&1 &
    jalv_pid=$! && pids+=("$jalv_pid")
    editor=""
    find_editor() { # the editor's 720 x 360 window inside jalv's window, once it is drawn
        local top
        top=$(xdotool search --onlyvisible --name "Fluxet" 2>/dev/null | head -1) && [ -n "$top" ] || return 1
        editor=$(xwininfo -tree -id "$top" | awk '/ 720x360\+/ {print $1; exit}')
        [ -n "$editor" ]
    }
    retry find_editor || { cat "$work/jalv.log"; xwininfo -root -tree; fail "jalv.gtk3 shows no embedded editor"; }
    sleep 1 # its first frames
    feedback() { # the last Feedback value the plug-in reported
        awk '/fluxet#feedback>/ {seen = 1; next} seen && /patch:value/ {
            gsub(/[^0-9.eE+-]/, "", $2); value = $2; seen = 0} END {print value}' "$work/jalv.log"
    }
    [ "$(feedback)" = "0.0" ] || { cat "$work/jalv.log"; fail "jalv was not told the initial Feedback"; }
    xdotool mousemove --window "$editor" 207 234 mousedown 1
    for dy in $(seq 5 5 40); do
        xdotool mousemove --window "$editor" 207 $((234 - dy)) && sleep 0.05
    done
    xdotool mouseup 1
    moved() { awk -v v="$(feedback)" 'BEGIN {exit !(v > 39.99 && v < 40.01)}'; }
    retry moved || { tail -n 40 "$work/jalv.log"; fail "jalv reports Feedback $(feedback), not 40"; }
    kill -TERM "$jalv_pid"
    status=0 && wait "$jalv_pid" || status=$?
    [ "$status" -lt 128 ] || fail "jalv.gtk3 died (status $status)"
    ! grep -E "^fluxet.lv2:|^@@@|suil error" "$work/jalv.log" || fail "the editor reported a problem"
    ;;

ardour)
    # Ardour carries its own Lua and exports it: the plug-ins must run there on their own Lua.
    # Both run from a factory preset with one parameter moved, in a session that is saved,
    # closed and loaded again; a script of their own reports the values they hold.
    command -v ardour7-lua >/dev/null || { echo "SKIP: no ardour7-lua (Debian package ardour)"; exit 77; }
    export HOME=$work/home XDG_CACHE_HOME=$work/cache FLUXET_ARDOUR_DUMPS
    mkdir -p "$HOME" "$XDG_DATA_HOME/Morvane/Fluxet/Scripts"
    cat >"$XDG_DATA_HOME/Morvane/Fluxet/Scripts/dump.lua" <<'EOF'
local file = os.getenv("FLUXET_ARDOUR_DUMPS") .. "/" .. tostring({}):match("0x%x+")
requestPeriodicCallback(0.1, function()
    local values = {}
    for p = 0, getNumParameters() - 1 do
        values[#values + 1] = string.format("%.6g", getParameter(p))
    end
    local out = io.open(file .. ".new", "w")
    out:write(table.concat(values, " "), "\n")
    out:close()
    os.rename(file .. ".new", file)
end)
EOF
    # track, channels, plug-in, preset, moved parameter's symbol and number, its value
    plugins=("Stereo 2 $stereo Flangey dry_level 0 0.25" "Mono 1 $mono Chorusy feedback 10 -35.5")
    arguments=() expected=()
    for plugin in "${plugins[@]}"; do
        read -r track channels uri preset symbol number value <<<"$plugin"
        arguments+=("$track $channels $uri $preset $symbol $value")
        values=$("$fluxet" params --preset "$preset" | sed -n '/^ *# /,/^$/p' |
            sed -E 's/ \([^)]*\)$//' | awk '$1 ~ /^[0-9]+$/ {print $NF}')
        expected+=("$(awk -v n="$number" -v v="$value" '{print NR - 1 == n ? v : $1}' <<<"$values" | paste -sd' ')")
    done
    for phase in create reload; do
        FLUXET_ARDOUR_DUMPS=$work/dumps-$phase
        mkdir -p "$FLUXET_ARDOUR_DUMPS"
        status=0
        timeout -k 10 120 ardour7-lua "$(dirname "$0")/ardour-session.lua" "$phase" "$work/session" \
            "${arguments[@]}" >"$work/ardour-$phase.log" 2>&1 || status=$?
        if [ $status -ne 0 ]; then
            tail -n 30 "$work/ardour-$phase.log"
            [ $status -eq 124 ] && fail "Ardour did not finish the $phase step within 120 s"
            [ $status -ge 128 ] && fail "Ardour died (signal $((status - 128))) in the $phase step"
            fail "the $phase step failed in Ardour (status $status)"
        fi
        ! grep -E "^@@@|fluxet.lv2:" "$work/ardour-$phase.log" || fail "the plug-in reported a problem"
        # One report per instance, each from a plug-in holding its preset and moved value.
        reports=$(cat "$FLUXET_ARDOUR_DUMPS"/* 2>/dev/null | sort)
        [ "$reports" = "$(printf '%s\n' "${expected[@]}" | sort)" ] || {
            printf 'expected:\n%s\nreported:\n%s\n' "$(printf '%s\n' "${expected[@]}")" "$reports"
            fail "the plug-ins in Ardour do not hold their values after the $phase step"
        }
    done
    ;;

*) fail "unknown check '$check'" ;;
esac
