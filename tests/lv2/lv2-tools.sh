#!/usr/bin/env bash
# Checks of the built LV2 bundle with Debian's own LV2 tools.
# usage: lv2-tools.sh exports|validate|info|lv2file|jalv|bench BUILD_DIR [FLUXET_PROGRAM]
# Sanitizer builds: FLUXET_SANITIZER_PRELOAD names the runtimes the uninstrumented tools need
# to load the instrumented plug-in.
set -euo pipefail

check=$1
build=$2
fluxet=${3:-}
bundle=$build/lv2/fluxet.lv2
stereo=http://morvane.com/plugins/fluxet/stereo
mono=http://morvane.com/plugins/fluxet/mono
presets=http://morvane.com/plugins/fluxet/presets#

work=$(mktemp -d /tmp/fluxet-lv2-tools-XXXXXX)
jackd_pid=""
jalv_pid=""
oscdump_pid=""
cleanup() {
    exec 7>&- 2>/dev/null || true
    for pid in "$oscdump_pid" "$jalv_pid" "$jackd_pid"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Only this build's bundle and the system's specifications and plug-ins: never ~/.lv2, where an
# installed copy could answer instead.
export LV2_PATH="$build/lv2:/usr/lib/lv2"
# The units read empty preference and script folders of their own.
for name in XDG_CONFIG_HOME XDG_DATA_HOME FLUXET_LOCAL_DATA_DIR FLUXET_SYSTEM_DATA_DIR; do
    mkdir -p "$work/$name"
    export "$name=$work/$name"
done
unset FLUXET_BUNDLE_DIR

# (Output is searched with here-strings: with pipefail, "echo | grep -q" fails whenever grep
# quits before echo has written everything.)
# Runs a tool that loads the plug-in's shared object.
run_host() {
    if [ -n "${FLUXET_SANITIZER_PRELOAD:-}" ]; then
        # The tools' own leaks are not ours; the last setting wins.
        LD_PRELOAD="$FLUXET_SANITIZER_PRELOAD" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
            "$@"
    else
        "$@"
    fi
}

# The factory preset names as the command-line program lists them, not the bundle's generator.
preset_names() {
    "$fluxet" presets | sed -E 's/^ *[0-9]+ +//'
}

# The samples of an audio file as raw 32-bit floats (a float WAV's peak chunk has a time stamp).
samples() {
    sox "$1" -t f32 -
}

# A port with the next 100 ports unused by UDP, from a random place in 20000..59000.
free_base_port() {
    local base
    for _ in $(seq 1000); do
        base=$((20000 + RANDOM % 39000))
        if [ -z "$(ss -Hlun "sport >= :$base and sport <= :$((base + 100))")" ]; then
            echo "$base"
            return
        fi
    done
    fail "no free block of UDP ports"
}

# The units' preferences: their OSC base port, and OSC only on this computer.
write_preferences() {
    cat >"$XDG_CONFIG_HOME/com.morvane.Fluxet.plist" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>OSC Base Port</key>
	<integer>$1</integer>
	<key>OSC Bind Address</key>
	<string>127.0.0.1</string>
</dict>
</plist>
EOF
}

case "$check" in
exports)
    symbols=$(nm -D --defined-only "$bundle/fluxet.so" | awk '{print $3}')
    [ "$symbols" = "lv2_descriptor" ] || fail "exported symbols: $symbols"
    ;;

validate)
    out=$(lv2_validate "$bundle"/*.ttl 2>&1) || { echo "$out"; fail "lv2_validate failed"; }
    grep -q "Found 0 errors" <<<"$out" || { echo "$out"; fail "lv2_validate found errors"; }
    if grep -q "^error:" <<<"$out"; then
        echo "$out"
        fail "lv2_validate reported an error"
    fi
    # Every Turtle file also parses on its own.
    for ttl in "$bundle"/*.ttl; do
        sordi -o ntriples "$ttl" "file://$ttl" >/dev/null 2>"$work/sordi.log" &&
            [ ! -s "$work/sordi.log" ] || { cat "$work/sordi.log"; fail "sordi cannot read $ttl"; }
    done
    ;;

info)
    listed=$(lv2ls)
    for uri in "$stereo" "$mono"; do
        grep -qx "$uri" <<<"$listed" || fail "lv2ls does not list $uri"
    done
    for variant in "$stereo 2 Fluxet Stereo" "$mono 1 Fluxet Mono"; do
        read -r uri channels name <<<"$variant"
        out=$(lv2info "$uri" 2>/dev/null)
        grep -q "Name: *$name" <<<"$out" || fail "$uri: no name '$name'"
        ports=$(grep -c "^	Port [0-9]*:" <<<"$out")
        [ "$ports" -eq $((2 + 2 * channels)) ] || fail "$uri: $ports ports"
        audio=$(grep -c "lv2core#AudioPort" <<<"$out")
        [ "$audio" -eq $((2 * channels)) ] || fail "$uri: $audio audio ports"
        atom=$(grep -c "atom#AtomPort" <<<"$out")
        [ "$atom" -eq 2 ] || fail "$uri: $atom atom ports"
        while IFS= read -r preset; do
            grep -qx "	 *$preset" <<<"$out" || fail "$uri: preset '$preset' not listed"
        done < <(preset_names)
        count=$(sed -n '/Presets:/,/^$/p' <<<"$out" | grep -c "^	  *[A-Z]")
        [ "$count" -eq 18 ] || fail "$uri: $count presets"
        # This lv2info lists parameters only in the plug-in's Turtle description.
        lv2info -p "$work/description.ttl" "$uri" >/dev/null 2>&1
        for predicate in writable readable; do
            n=$(sordi -i turtle -o ntriples "$work/description.ttl" "file://$work/" |
                grep -c "<http://lv2plug.in/ns/ext/patch#$predicate> <http://morvane.com/plugins/fluxet#")
            [ "$n" -eq 16 ] || fail "$uri: $n parameters are patch:$predicate"
        done
        rm -f "$work/description.ttl"
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
        input="$work/in-$channels.wav"
        tones=(pluck 220 sine 331)
        sox -n -r 48000 -e floating-point -b 32 "$input" \
            synth "${frames}s" "${tones[@]:0:$((2 * channels))}" gain -3
        run_host lv2file --ignore-clipping -i "$input" -o "$work/lv2.wav" -P "$preset" \
            -b "$block" "$uri" >"$work/lv2file.log" 2>&1 ||
            { cat "$work/lv2file.log"; fail "lv2file failed for $preset"; }
        grep -q "Preset '$preset' was not found" "$work/lv2file.log" &&
            fail "lv2file did not find $preset"
        "$fluxet" render -q --preset "$preset" --block "$block" "$input" "$work/cli.wav"
        samples "$work/lv2.wav" >"$work/lv2.f32"
        samples "$work/cli.wav" >"$work/cli.f32"
        [ "$(stat -c %s "$work/lv2.f32")" -eq $((frames * channels * 4)) ] ||
            fail "$preset: lv2file wrote $(stat -c %s "$work/lv2.f32") bytes"
        cmp -s "$work/lv2.f32" "$work/cli.f32" ||
            fail "$uri with '$preset' in blocks of $block differs from fluxet render"
        # And the preset was applied: the default settings sound different.
        run_host lv2file --ignore-clipping -i "$input" -o "$work/defaults.wav" -b "$block" \
            "$uri" >/dev/null 2>&1
        samples "$work/defaults.wav" >"$work/defaults.f32"
        cmp -s "$work/defaults.f32" "$work/lv2.f32" && fail "'$preset' renders like the defaults"
        echo "$uri '$preset' block $block: equal"
    done
    ;;

jalv)
    export JACK_DEFAULT_SERVER="fluxet-lv2-test-$$"
    export JACK_NO_AUDIO_RESERVATION=1
    jackd --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    jackd_pid=$!
    jack_wait -w -t 30 >/dev/null || { cat "$work/jackd.log"; fail "the JACK server did not start"; }
    for uri in "$stereo" "$mono"; do
        # jalv reads its commands from standard input and quits at its end. Its console's "set"
        # reaches port controls only, so the parameter is set with -c, which sends patch:Set;
        # jalv 1.6 hands such messages to the plug-in only when asked to show a UI (-s), even
        # when there is none.
        printf 'presets\npreset %sflangey\n' "$presets" |
            run_host jalv -s -d -c dry_level=0.25 -n "fluxet-test" "$uri" >"$work/jalv.log" 2>&1 ||
            { cat "$work/jalv.log"; fail "jalv failed for $uri"; }
        log=$(cat "$work/jalv.log")
        while IFS= read -r preset; do
            grep -qF "($preset)" <<<"$log" || { echo "$log"; fail "$uri: jalv lists no '$preset'"; }
        done < <(preset_names)
        listed=$(grep -c "${presets}[a-z0-9_]* (" <<<"$log")
        [ "$listed" -eq 18 ] || { echo "$log"; fail "$uri: jalv lists $listed presets"; }
        grep -q "patch:property <http://morvane.com/plugins/fluxet#dry_level>" <<<"$log" ||
            { echo "$log"; fail "$uri: no patch:Set sent"; }
        grep -q "^dry_level = 0.250000" <<<"$log" || { echo "$log"; fail "$uri: not set"; }
        if grep -iE "^(error|warning)|doesn't exist|fluxet.lv2:" <<<"$log"; then
            fail "$uri: jalv or the plug-in reported a problem"
        fi
        echo "$uri: presets listed, preset applied, parameter set"
    done

    # What jalv set must reach the unit, and the preset must be applied: asked over the
    # instance's own OSC port (127.0.0.1 only), which the preset's "OSC Port Offset" of 0
    # then closes.
    base=$(free_base_port)
    write_preferences "$base"
    offset=5
    port=$((base + offset))
    reply=$(free_base_port)
    mkfifo "$work/commands"
    run_host jalv -s -c osc_port_offset=$offset -c dry_level=0.25 -n "fluxet-osc-test" "$stereo" \
        <"$work/commands" >"$work/jalv-osc.log" 2>&1 &
    jalv_pid=$!
    exec 7>"$work/commands"
    # No other process may hold the command pipe open, or jalv never sees its end.
    oscdump -L "$reply" >"$work/osc.log" 2>&1 7>&- &
    oscdump_pid=$!
    answered=no
    for _ in $(seq 100); do
        oscsend 127.0.0.1 "$port" /ping ss "127.0.0.1:$reply" /pong 2>/dev/null || true
        sleep 0.1
        # oscdump shows a bundle's messages after its time tag.
        if grep -qE "(^| )/pong " "$work/osc.log"; then
            answered=yes
            break
        fi
    done
    [ $answered = yes ] || { cat "$work/jalv-osc.log"; fail "nothing answers on 127.0.0.1:$port"; }
    oscsend 127.0.0.1 "$port" /get iss 0 "127.0.0.1:$reply" /value
    for _ in $(seq 100); do
        grep -qE "(^| )/value " "$work/osc.log" && break
        sleep 0.1
    done
    grep -qE "(^| )/value if 0 0\.25" "$work/osc.log" ||
        { cat "$work/osc.log"; fail "the unit did not take jalv's dry_level"; }
    # Presets are read when listed.
    printf 'presets\npreset %sflangey\n' "$presets" >&7
    released=no
    for _ in $(seq 100); do
        if [ -z "$(ss -Hlun "sport = :$port")" ]; then
            released=yes
            break
        fi
        sleep 0.1
    done
    exec 7>&-
    wait "$jalv_pid" || { cat "$work/jalv-osc.log"; fail "jalv failed"; }
    jalv_pid=""
    kill "$oscdump_pid" 2>/dev/null || true
    wait "$oscdump_pid" 2>/dev/null || true
    oscdump_pid=""
    [ $released = yes ] || fail "the preset did not turn OSC off (port $port still open)"
    echo "$stereo: jalv's value reached the unit over OSC; the preset closed the port"
    ;;

bench)
    for uri in "$stereo" "$mono"; do
        out=$(run_host lv2bench -b 512 -n 48000 "$uri" 2>&1) || { echo "$out"; fail "lv2bench $uri"; }
        grep -qE "^[0-9.]+ $uri$" <<<"$out" || { echo "$out"; fail "lv2bench did not run $uri"; }
        echo "$out"
    done
    ;;

*)
    fail "unknown check '$check'"
    ;;
esac
