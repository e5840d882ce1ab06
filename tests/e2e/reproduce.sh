#!/bin/sh
# Builds archver.exe twice from copies of the sources at two different paths,
# some seconds apart and in two time zones, and shows that both builds give
# the same bytes. The first build is configured with the preset's toolchain
# file alone and sees only CMake, make and the compiler on its PATH:
# archver.exe needs nothing else, and it is the same file as the second,
# full build's, in developer mode.
#   reproduce.sh [SOURCE_DIR [PRESET]]   (default: this checkout, windows-x86)
set -eu
source=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
preset=${2:-windows-x86}
first=$(mktemp -d /tmp/archver-a.XXXXXX)
second=$(mktemp -d /var/tmp/archver-reproduce-b.XXXXXX)
tools=$(mktemp -d /tmp/archver-tools.XXXXXX)
trap 'rm -rf "$first" "$second" "$tools"' EXIT

for tool in /usr/bin/i686-w64-mingw32-* /usr/bin/clang* /usr/bin/ld.lld /usr/bin/llvm-* \
    "$(command -v cmake)" "$(command -v make)" "$(command -v sh)"; do
    [ -e "$tool" ] && ln -s "$tool" "$tools/"
done

# The preset's toolchain file: windows-x86-clang's is i686-w64-mingw32-clang.
toolchain=cmake/i686-w64-mingw32${preset#windows-x86}.cmake

# build DIR alone|full: the SHA-256 of archver.exe built in DIR, with the
# toolchain file alone and nothing on the PATH but the tools above, or with
# the preset.
build() {
    dir=$1
    (cd "$source" && tar -cf - CMakeLists.txt CMakePresets.json cmake src res tests tools) |
        (cd "$dir" && tar -xf -)
    if [ "$2" = alone ]; then
        set -- env -i HOME="$dir" PATH="$tools"
        "$@" cmake -S "$dir" -B "$dir/build/$preset" --toolchain "$dir/$toolchain" >/dev/null
    else
        set -- env
        "$@" cmake --preset "$preset" -S "$dir" >/dev/null
    fi
    "$@" cmake --build "$dir/build/$preset" --target archver >/dev/null
    sha256sum <"$dir/build/$preset/archver.exe" | cut -d' ' -f1
}

a=$(build "$first" alone)
sleep 2
b=$(TZ=Asia/Tokyo build "$second" full)
echo "$first (toolchain file alone): $a"
echo "$second: $b"
for dir in "$first" "$second"; do
    if grep -q -a -e "$first" -e "$second" "$dir/build/$preset/archver.exe"; then
        echo "archver.exe holds a build path" >&2
        exit 1
    fi
done
[ "$a" = "$b" ] || { echo "the two builds differ" >&2; exit 1; }
echo "identical"
