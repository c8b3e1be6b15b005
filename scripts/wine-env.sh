# Sourced: the environment every Wine call of the build and tests uses.
# $1: the build folder; the Wine prefix lives inside it so tests never touch the real home folder.
# $2 (optional): a screen DPI other than 96, which has a prefix of its own ("wineprefix-144dpi"),
# as Wine reads the DPI from the prefix's registry.
# $3 (optional): a text size in percent other than 100 (Windows' "Make text bigger"), which has a
# prefix of its own as well ("wineprefix-200text", "wineprefix-144dpi-200text").
murk_build_dir=$(cd "$1" && pwd)
murk_dpi=${2:-96}
murk_text=${3:-100}
# Wine refuses to start without a home folder; a bare CI environment may not name one.
if [ -z "${HOME:-}" ]; then
  HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
  export HOME
fi
# Wine names files on the Linux side in the locale's encoding: without UTF-8 it can't create a
# folder like "Müll", which the tests do. Always the same locale, whatever the caller's.
export LC_ALL=C.UTF-8
WINEPREFIX="$murk_build_dir/wineprefix"
[ "$murk_dpi" = 96 ] || WINEPREFIX+="-${murk_dpi}dpi"
[ "$murk_text" = 100 ] || WINEPREFIX+="-${murk_text}text"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono/Gecko prompts, and no mirroring of .lnk files into the Linux desktop menus.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
