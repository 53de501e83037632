#!/usr/bin/env bash
# The installed SDK; each step is one CTest entry (the Debian packages have tests/packages.sh).
# usage: sdk_install.sh STEP BUILD_DIR SOURCE_DIR
#   install             installs into BUILD_DIR/sdk/prefix and checks the layout
#   consumer-cmake      builds tests/consumer against that prefix with find_package(Sender), runs it
#   consumer-pkgconfig  builds the same consumer with pkg-config's flags, runs it
#   velmora             the installed Velmora, with an empty user registry, creates its control
# The install layout comes from the environment: VELMORA_VERSION, VELMORA_BINDIR, VELMORA_LIBDIR,
# VELMORA_INCLUDEDIR, VELMORA_DATADIR, VELMORA_DESIGNER_DIR (empty when the plugin is not built).
set -euo pipefail
step="$1"
build="$2"
source="$3"
work="$build/sdk"
prefix="$work/prefix"
libdir="$prefix/$VELMORA_LIBDIR"
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

fail() {
  echo "FAIL: $*"
  exit 1
}
need() {
  [ -e "$prefix/$1" ] || fail "$1 is not installed"
}
runpath() {
  readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'
}
compiler() {
  if command -v ccache >/dev/null; then echo "ccache ${CXX:-c++}"; else echo "${CXX:-c++}"; fi
}

# A RUNPATH with an empty entry (":" at either end or twice) searches the current folder.
searches_current_folder() {
  local path; path="$(runpath "$1")"
  [ -n "$path" ] && [[ "$path" == :* || "$path" == *: || "$path" == *::* ]]
}

case "$step" in
install)
  for binary in "$build"/bin/velmora "$build"/bin/velmora-cli "$build"/bin/lib*.so.*.*; do
    ! searches_current_folder "$binary" || fail "$binary: RUNPATH '$(runpath "$binary")' searches the current folder"
  done
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
  for program in velmora velmora-cli velmora-send component-register; do
    [ -x "$prefix/$VELMORA_BINDIR/$program" ] || fail "program $program is not installed"
    [[ "$(runpath "$prefix/$VELMORA_BINDIR/$program")" == '$ORIGIN/'* ]] || fail "$program: RUNPATH is not relative to \$ORIGIN"
  done
  for lib in Sender velmora-platform velmora-secure; do
    need "$VELMORA_LIBDIR/lib$lib.so"
    need "$VELMORA_LIBDIR/lib$lib.so.$VELMORA_VERSION"
    [ "$(readlink "$libdir/lib$lib.so.1")" = "lib$lib.so.$VELMORA_VERSION" ] || fail "lib$lib.so.1 does not name the library"
    soname="$(readelf -d "$libdir/lib$lib.so.$VELMORA_VERSION" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
    [ "$soname" = "lib$lib.so.1" ] || fail "lib$lib: SONAME is '$soname'"
    [ "$(runpath "$libdir/lib$lib.so.1")" = '$ORIGIN' ] || fail "lib$lib: RUNPATH is not \$ORIGIN"
  done
  if [ -n "$VELMORA_DESIGNER_DIR" ]; then
    need "$VELMORA_DESIGNER_DIR/libvelmora-designer.so"
    [[ "$(runpath "$prefix/$VELMORA_DESIGNER_DIR/libvelmora-designer.so")" == '$ORIGIN/'* ]] || fail "Designer plugin: RUNPATH"
    ! searches_current_folder "$build/bin/designer/libvelmora-designer.so" || fail "Designer plugin: RUNPATH in the build tree"
  fi
  for f in "$VELMORA_LIBDIR/cmake/Sender/"{SenderConfig,SenderConfigVersion,SenderTargets}.cmake \
    "$VELMORA_LIBDIR/pkgconfig/sender.pc" "$VELMORA_LIBDIR/pkgconfig/sender-secure.pc" "$VELMORA_DATADIR/applications/velmora.desktop" \
    "$VELMORA_DATADIR/icons/hicolor/48x48/apps/velmora.png" "$VELMORA_DATADIR/icons/hicolor/scalable/apps/velmora.svg" \
    "$VELMORA_DATADIR/component-registry/sender.ini"; do
    need "$f"
  done
  share="$prefix/$VELMORA_DATADIR"
  for f in applications/velmora-send.desktop kio/servicemenus/velmora-send.desktop nemo/actions/velmora-send.nemo_action \
    velmora/nautilus/velmora-send-nautilus.sh metainfo/org.velmora.Velmora.metainfo.xml; do
    need "$VELMORA_DATADIR/$f"
  done
  [ -f "$prefix/lib/systemd/user/velmora.service" ] || fail "the systemd user unit is not installed"
  grep -qx 'ExecStart=velmora-cli --serve' "$prefix/lib/systemd/user/velmora.service" || fail "velmora.service: ExecStart"
  if command -v desktop-file-validate >/dev/null; then
    for f in velmora velmora-send; do
      desktop-file-validate "$share/applications/$f.desktop" || fail "desktop-file-validate $f.desktop"
    done
    grep -qx 'Exec=velmora-send %F' "$share/applications/velmora-send.desktop" || fail "velmora-send.desktop: Exec"
    # Dolphin reads a service menu of Type=Service, a KDE type whose MimeType and Actions the
    # validator does not know: anything else it finds is an error.
    { desktop-file-validate "$share/kio/servicemenus/velmora-send.desktop" 2>&1 || true; } |
      grep -v -e 'key "MimeType" is present in group "Desktop Entry", but the type is "Service"' \
        -e 'key "Actions" is present in group "Desktop Entry", but the type is "Service"' >"$work/dolphin.txt" || true
    [ ! -s "$work/dolphin.txt" ] || { cat "$work/dolphin.txt"; fail "desktop-file-validate: the Dolphin service menu"; }
  fi
  grep -q 'Exec=velmora-send %F' "$share/kio/servicemenus/velmora-send.desktop" || fail "the Dolphin service menu: Exec"
  # A Nemo action is a key file of its own group: it needs these keys to show.
  nemo="$share/nemo/actions/velmora-send.nemo_action"
  [ "$(head -n1 "$nemo")" = "[Nemo Action]" ] || fail "the Nemo action: its group"
  for key in 'Name=.' 'Exec=velmora-send %F$' 'Selection=notnone$' 'Extensions=any;$'; do
    grep -q "^$key" "$nemo" || fail "the Nemo action lacks ${key%%=*}"
  done
  # The Nautilus script hands on the selection, one path per line, names with spaces whole.
  mkdir -p "$work/fake-bin"
  printf '#!/bin/sh\nfor a in "$@"; do printf "<%%s>" "$a"; done\n' >"$work/fake-bin/velmora-send"
  chmod +x "$work/fake-bin/velmora-send"
  handed="$(PATH="$work/fake-bin:$PATH" NAUTILUS_SCRIPT_SELECTED_FILE_PATHS="$(printf '/a b/c d.txt\n/e\n')" \
    "$share/velmora/nautilus/velmora-send-nautilus.sh")"
  [ "$handed" = "</a b/c d.txt></e>" ] || fail "the Nautilus script handed on $handed"
  if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$share/metainfo/org.velmora.Velmora.metainfo.xml" || fail "appstreamcli validate"
  fi
  # Nothing installed names the build or source tree, so the prefix can move.
  leaks="$(grep -rIl -e "$build" -e "$source" "$prefix" || true)"
  [ -z "$leaks" ] || fail "these name the build or source tree: $leaks"
  # Every installed header compiles with nothing but the prefix (and Qt) on the include path.
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  [ "$(pkg-config --modversion sender)" = "$VELMORA_VERSION" ] || fail "pkg-config --modversion sender"
  for h in "$prefix/$VELMORA_INCLUDEDIR/sender/"*.h; do echo "#include <sender/$(basename "$h")>"; done >"$work/all-headers.cpp"
  # shellcheck disable=SC2046
  $(compiler) -std=c++20 -fsyntax-only "$work/all-headers.cpp" $(pkg-config --cflags sender) || fail "the installed headers do not compile"
  echo "installed into $prefix"
  ;;
consumer-cmake)
  out="$work/consumer-cmake"
  rm -rf "$out"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$source/tests/consumer" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "${launcher[@]}" >"$work/consumer-cmake.log" || { cat "$work/consumer-cmake.log"; fail "configure"; }
  found="$(sed -n 's/^Sender_DIR:PATH=//p' "$out/CMakeCache.txt")"
  [ "$found" = "$libdir/cmake/Sender" ] || fail "find_package(Sender) found '$found'"
  cmake --build "$out" || fail "build"
  "$out/consumer" || fail "the consumer did not pass its message"
  ;;
consumer-pkgconfig)
  out="$work/consumer-pkgconfig"
  rm -rf "$out"
  mkdir -p "$out"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  # shellcheck disable=SC2046
  $(compiler) -std=c++20 "$source/tests/consumer/main.cpp" -o "$out/consumer" $(pkg-config --cflags --libs sender sender-secure) \
    -Wl,-rpath,"$(pkg-config --variable=libdir sender)" || fail "build"
  "$out/consumer" || fail "the consumer did not pass its message"
  ;;
velmora)
  home="$work/velmora-home"
  rm -rf "$home"
  mkdir -p "$home/.config"
  : >"$home/.config/component-registry.ini"
  env -u COMPONENT_REGISTRY HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_DIRS="$prefix/$VELMORA_DATADIR" \
    "$prefix/$VELMORA_BINDIR/velmora" >"$home/velmora.log" 2>&1 &
  pid=$!
  trap '{ kill "$pid" && wait "$pid"; } 2>/dev/null || true' EXIT
  # The window creates the control from the library its drop-in names (it does not link it).
  loaded=""
  for _ in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || break
    if grep -q "$libdir/libSender.so" "/proc/$pid/maps" 2>/dev/null; then loaded=yes; break; fi
    sleep 0.1
  done
  [ -n "$loaded" ] || { cat "$home/velmora.log"; fail "Velmora did not load $libdir/libSender.so"; }
  sleep 1
  kill -0 "$pid" 2>/dev/null || { cat "$home/velmora.log"; fail "Velmora ended"; }
  ! grep -q "cannot be created" "$home/velmora.log" || { cat "$home/velmora.log"; fail "Velmora did not create its control"; }
  [ ! -s "$home/.config/component-registry.ini" ] || fail "Velmora wrote the user registry"
  echo "Velmora runs with the control from $libdir"
  ;;
*)
  fail "unknown step $step"
  ;;
esac
