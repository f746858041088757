#!/usr/bin/env bash
# Prepares a Debian 12 (bookworm) machine for building and testing halverd:
#   1. installs the build packages that are missing (a second run installs nothing);
#   2. finds SDL 3 on the system, or builds it once from the source package of the
#      next Debian release into a cached prefix inside the build tree.
# Safe to run any number of times; when everything is there it only checks.
#
# Environment:
#   HALVERD_SDL3_DIR    cache folder for SDL 3 (default: <repo>/build/_sdl3)
#   HALVERD_SDL3_SUITE  release whose source package is built (default: trixie)
#   HALVERD_JOBS        parallel build jobs (default: 2)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sdl_dir=${HALVERD_SDL3_DIR:-$repo/build/_sdl3}
sdl_prefix=$sdl_dir/prefix
sdl_stamp=$sdl_prefix/.complete
sdl_suite=${HALVERD_SDL3_SUITE:-trixie}
jobs=${HALVERD_JOBS:-2}

say() { printf 'setup: %s\n' "$*" >&2; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

# Compilers, libraries and tools of the build and the tests.
# bcc needs bin86 (as86/ld86) and elks-libc (its DOS C library), which it only
# recommends; dpkg-dev unpacks source packages.
build_packages=(
    g++ make cmake ninja-build pkg-config dpkg-dev xz-utils
    libcapstone-dev libtcc-dev tcc
    nasm bcc bin86 elks-libc
    googletest libgtest-dev
    xvfb xauth
    libgl1-mesa-dri libgl-dev libegl-dev
)
# What SDL 3 needs to build with X11 (and Wayland), OpenGL/EGL, KMS/DRM, ALSA,
# PulseAudio, PipeWire, D-Bus (portals, screensaver) and udev (hot-plug).
# SDL opens most of these at run time, so the executable does not link them.
sdl_build_packages=(
    libx11-dev libxext-dev libxi-dev libxrandr-dev libxcursor-dev libxfixes-dev
    libxss-dev libxinerama-dev libxkbcommon-dev
    libwayland-dev wayland-protocols libdecor-0-dev
    libdrm-dev libgbm-dev libegl-dev libgles-dev libgl-dev
    libasound2-dev libpulse-dev libpipewire-0.3-dev
    libdbus-1-dev libudev-dev
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else die "need root (or sudo) for: $*"; fi
}

# apt checks signatures through scripts that write to /dev/null; when it has been
# replaced by a plain file they fail with a misleading "gpgv not installed".
require_dev_null() {
    [ -c /dev/null ] || die "/dev/null is not a character device (restore it: rm -f /dev/null; mknod -m 666 /dev/null c 1 3)"
}

# Prints the packages of "$@" that are not installed.
missing_packages() {
    local installed
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null \
                | awk '$NF == "installed" { print $1 }') || true
    local p
    for p in "$@"; do
        grep -qxF "$p" <<<"$installed" || printf '%s\n' "$p"
    done
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0
    say "installing: ${missing[*]}"
    require_dev_null
    local apt_opts=(-q -o DPkg::Lock::Timeout=600) log
    log=$(mktemp)
    if ! { as_root apt-get "${apt_opts[@]}" update &&
           as_root env DEBIAN_FRONTEND=noninteractive \
               apt-get "${apt_opts[@]}" install -y --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        tail -n 30 "$log" >&2; rm -f "$log"; die "package installation failed"
    fi
    rm -f "$log"
}

system_sdl3() {
    pkg-config --exists sdl3 2>/dev/null && return 0
    local f
    for f in /usr/lib/cmake/SDL3/SDL3Config.cmake /usr/lib/*/cmake/SDL3/SDL3Config.cmake \
             /usr/local/lib/cmake/SDL3/SDL3Config.cmake /usr/local/lib/*/cmake/SDL3/SDL3Config.cmake \
             /usr/share/cmake/SDL3/SDL3Config.cmake; do
        [ -f "$f" ] && return 0
    done
    return 1
}

# Prints "URI KEYRING" of the system's own Debian archive: the entry of the apt
# sources that carries this release's main suite. KEYRING is the entry's
# Signed-By file, or "-" when the entry relies on the system's trusted keys.
system_archive() {
    local codename
    codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || die "cannot tell this system's release (VERSION_CODENAME in /etc/os-release)"
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # deb822 stanzas: fields "Name: value", continuation lines start with blanks.
        awk -v want="$codename" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ") && tolower(enabled) != "no" && uris != "") {
                    split(uris, u, " "); key = (signed ~ /^\//) ? signed : "-"
                    print u[1], key; found = 1; exit
                }
                types = suites = uris = signed = enabled = ""; field = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/   { if (field == "uris") uris = uris " " $0; next }
            {
                field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
                gsub(/^[ \t]+|[ \t]+$/, "", value); gsub(/[ \t]+/, " ", value)
                if (field == "types") types = value
                else if (field == "suites") suites = value
                else if (field == "uris") uris = value
                else if (field == "signed-by") signed = value
                else if (field == "enabled") enabled = value
            }
            END { if (!found) flush() }
        ' "$f" | head -n 1 | grep . && return 0
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # One-line form: deb [options] URI suite components...
        awk -v want="$codename" '
            $1 != "deb" { next }
            {
                key = "-"; line = $0; sub(/^deb[ \t]+/, "", line)
                if (line ~ /^\[/) {
                    opts = substr(line, 2, index(line, "]") - 2); line = substr(line, index(line, "]") + 1)
                    n = split(opts, o, /[ \t]+/)
                    for (i = 1; i <= n; i++) if (o[i] ~ /^signed-by=\//) key = substr(o[i], 11)
                }
                split(line, w, /[ \t]+/); if (w[1] == "") { w[1] = w[2]; w[2] = w[3] }
                if (w[2] == want) { print w[1], key; exit }
            }
        ' "$f" | head -n 1 | grep . && return 0
    done
    return 1
}

# Fetches and unpacks the source package libsdl3 of $sdl_suite into $1 through
# a private apt configuration: own source list, own package lists, no caches
# and no update hooks, so the system's apt state stays as it is.
fetch_sdl3_source() {
    local dest=$1 apt_dir=$sdl_dir/apt archive uri keyring
    require_dev_null
    archive=$(system_archive) || die "no Debian archive found in this system's apt sources"
    read -r uri keyring <<<"$archive"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources.list.d" "$apt_dir/cache"
    # The archive's signature is checked as for the system's own entry: against
    # the keyring that entry names (Debian's archive keyring, which already
    # holds the keys of the next release), or the system's trusted keys.
    if [ "$keyring" = "-" ]; then
        printf 'deb-src %s %s main\n' "$uri" "$sdl_suite" >"$apt_dir/sources.list"
    else
        printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$uri" "$sdl_suite" >"$apt_dir/sources.list"
    fi
    cat >"$apt_dir/apt.conf" <<'EOF'
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
    local apt=(apt-get -q -c "$apt_dir/apt.conf"
        -o Dir::Etc::SourceList="$apt_dir/sources.list"
        -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
        -o Dir::State::Lists="$apt_dir/lists"
        -o Dir::Cache="$apt_dir/cache"
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
        -o Acquire::Languages=none
        -o APT::Sandbox::User=root)
    say "fetching the libsdl3 source package of $sdl_suite"
    "${apt[@]}" update >"$sdl_dir/fetch.log" 2>&1 \
        || { tail -n 20 "$sdl_dir/fetch.log" >&2; die "apt-get update of the $sdl_suite sources failed"; }
    rm -rf "$dest"; mkdir -p "$dest"
    (cd "$dest" && "${apt[@]}" source libsdl3) >>"$sdl_dir/fetch.log" 2>&1 \
        || { tail -n 20 "$sdl_dir/fetch.log" >&2; die "apt-get source libsdl3 failed"; }
}

build_sdl3() {
    [ -f "$sdl_stamp" ] && return 0
    if system_sdl3; then return 0; fi
    install_packages "${sdl_build_packages[@]}"
    local start=$SECONDS src_root=$sdl_dir/src build=$sdl_dir/build src
    mkdir -p "$sdl_dir"
    fetch_sdl3_source "$src_root"
    src=$(find "$src_root" -mindepth 1 -maxdepth 1 -type d -name 'libsdl3-*' | head -n 1)
    [ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || die "no unpacked SDL 3 source in $src_root"
    say "building SDL 3 from $(basename "$src") (log: $sdl_dir/build.log)"
    local gen=()
    command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
    rm -rf "$build" "$sdl_prefix"
    {
        cmake -S "$src" -B "$build" "${gen[@]}" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$sdl_prefix" \
            -DCMAKE_INSTALL_LIBDIR=lib \
            -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DSDL_SHARED=OFF -DSDL_STATIC=ON \
            -DSDL_TESTS=OFF -DSDL_TEST_LIBRARY=OFF -DSDL_EXAMPLES=OFF \
            -DSDL_INSTALL_DOCS=OFF &&
        cmake --build "$build" --parallel "$jobs" &&
        cmake --install "$build"
    } >"$sdl_dir/build.log" 2>&1 || { tail -n 30 "$sdl_dir/build.log" >&2; die "SDL 3 build failed"; }
    basename "$src" >"$sdl_stamp"
    rm -rf "$build" "$src_root" "$sdl_dir/apt"
    say "SDL 3 ready in $sdl_prefix ($((SECONDS - start)) s)"
}

install_packages "${build_packages[@]}"
build_sdl3
