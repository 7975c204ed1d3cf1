#!/usr/bin/env bash
# scripts/package on this build: the package unpacked into a temporary root holds what the
# install rules install, runs from there, depends on what its binaries link, and passes lintian;
# the tarball holds the same bundle.
# usage: package.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail

source=$1 build=$2 version=$3
stereo=http://morvane.com/plugins/fluxet/stereo mono=http://morvane.com/plugins/fluxet/mono
work=$(mktemp -d /tmp/fluxet-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }

FLUXET_BUILD_DIR=$build "$source/scripts/package" "$work/dist" >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "scripts/package failed"; }
deb=$work/dist/fluxet_${version}_$(dpkg --print-architecture).deb
tarball=$work/dist/fluxet-lv2-$version-linux-$(uname -m).tar.gz
[ -f "$deb" ] && [ -f "$tarball" ] || { ls -l "$work/dist"; fail "not the files expected"; }

# lintian: warnings may stand, errors may not.
lintian --fail-on error "$deb" >"$work/log" 2>&1 || { cat "$work/log"; fail "lintian"; }

root=$work/root
dpkg-deb -x "$deb" "$root"
for field in "Package fluxet" "Version $version" "Section sound"; do
    [ "$(dpkg-deb -f "$deb" "${field%% *}")" = "${field#* }" ] || fail "control field ${field%% *}"
done

# The packed file at PATH (below the root) holds FILE's bytes, itself or as a link to a copy on
# this system.
packs() { # FILE PATH
    local packed=$root/$2
    [ -L "$packed" ] && packed=$(realpath -m "/${2%/*}/$(readlink "$packed")")
    cmp -s "$1" "$packed"
}
is_elf() { readelf -h "$1" >/dev/null 2>&1; }

# Everything the install rules install is in the package (binaries stripped, which lintian
# checks).
DESTDIR=$work/installed cmake --install "$build" --prefix /usr >/dev/null
while IFS= read -r path; do
    if is_elf "$work/installed/$path"; then
        is_elf "$root/$path" || fail "$path is missing"
    else
        packs "$work/installed/$path" "$path" || fail "$path is missing or differs from the install"
    fi
done < <(cd "$work/installed" && find . -type f | sed 's|^\./||' | sort)

# Every library a packed binary links comes with a package the package depends on.
depends=$(dpkg-deb -f "$deb" Depends | sed 's/ *([^)]*)//g; s/ *[,|] */\n/g')
while IFS= read -r -d '' file; do
    is_elf "$file" || continue
    for library in $(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}'); do
        path=$(ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ && !n++ {print $NF}')
        owner=$(dpkg-query -S "$(realpath "$path")" 2>/dev/null || dpkg-query -S "$path") ||
            fail "no package holds $library"
        grep -qx "${owner%%:*}" <<<"$depends" ||
            fail "${file#"$root"} links $library, not a dependency"
    done
done < <(find "$root" -type f -print0)

# The program from the unpacked root, with its data folder there and no scripts of the user's:
# the packed midi.lua answers MIDI (expression pedal down: no effect), which the program could
# not do without that file.
for name in XDG_CONFIG_HOME XDG_DATA_HOME FLUXET_LOCAL_DATA_DIR FLUXET_SYSTEM_DATA_DIR empty; do
    mkdir -p "$work/$name"
    [ "$name" = empty ] || export "$name=$work/$name"
done
export FLUXET_BUNDLE_DIR=$root/usr/share/fluxet
fluxet=$root/usr/bin/fluxet
[ "$("$fluxet" --version)" = "fluxet $version" ] || fail "fluxet --version: $("$fluxet" --version)"
[ "$("$fluxet" presets)" = "$("$build/hosts/cli/fluxet" presets)" ] || fail "fluxet presets differ"
# A MIDI file of one track: expression (CC 11) to 0 at its start.
printf 'MThd\0\0\0\6\0\0\0\1\0\140' >"$work/pedal.mid"
printf 'MTrk\0\0\0\10\0\260\13\0\0\377\57\0' >>"$work/pedal.mid"
sox -n -r 48000 -e floating-point -b 32 "$work/in.wav" synth 0.25 pluck 220 pluck 331
# render PROGRAM OUTPUT [OPTIONS...]
render() { "$1" render -q --preset Ensemble "${@:3}" "$work/in.wav" "$work/$2"; }
render "$fluxet" plain.wav
render "$fluxet" pedal.wav --midi "$work/pedal.mid"
FLUXET_BUNDLE_DIR=$work/empty render "$fluxet" unscripted.wav --midi "$work/pedal.mid"
# The data chunks' bytes: a float WAV's peak chunk has a time stamp.
for name in plain pedal unscripted; do
    IFS=: read -r at _ < <(grep -obUa data "$work/$name.wav")
    tail -c +$((at + 9)) "$work/$name.wav" >"$work/$name.f32"
done
[ -s "$work/plain.f32" ] && cmp -s "$work/plain.f32" "$work/unscripted.f32" ||
    fail "MIDI changed the render without midi.lua"
! cmp -s "$work/plain.f32" "$work/pedal.f32" || fail "the packed midi.lua did not answer the pedal"

# The plug-in from the unpacked root alone: listed, described and run by Debian's LV2 tools.
export LV2_PATH=$root/usr/lib/lv2
plugins=$(lv2ls)
[ "$(grep -c morvane <<<"$plugins")" -eq 2 ] || fail "lv2ls: $plugins"
for variant in "$stereo Fluxet Stereo" "$mono Fluxet Mono"; do
    read -r uri name <<<"$variant"
    out=$(lv2info "$uri" 2>&1)
    grep -q "Name: *$name$" <<<"$out" &&
        grep -q "Bundle: *file://$root/usr/lib/lv2/fluxet.lv2/" <<<"$out" ||
        { echo "$out"; fail "lv2info $uri"; }
    out=$(lv2bench -n 4800 "$uri" 2>&1)
    grep -qE "^[0-9.]+ $uri$" <<<"$out" || { echo "$out"; fail "lv2bench could not run $uri"; }
done

# The tarball: the same bundle, with its licence and a README.
tar -xzf "$tarball" -C "$work" && unpacked=${tarball%.tar.gz} && unpacked=$work/${unpacked##*/}
[ -f "$unpacked/copyright" ] && [ -f "$unpacked/README" ] || fail "no copyright or README"
bundle=usr/lib/lv2/fluxet.lv2
[ "$(cd "$unpacked/fluxet.lv2" && find . | sort)" = "$(cd "$root/$bundle" && find . | sort)" ] ||
    fail "the tarball's bundle holds other files"
while IFS= read -r path; do
    packs "$unpacked/fluxet.lv2/$path" "$bundle/$path" || fail "the tarball's $path differs"
done < <(cd "$unpacked/fluxet.lv2" && find . -type f | sed 's|^\./||')
