# Sourced by the scripts that run the Windows programs under Wine.

# Starts a private X server when there is no display and exports DISPLAY:
# Xvfb picks a free display number itself and tells it through the file
# descriptor. Sets xvfb_pid, empty when a display was already there; fails
# when Xvfb did not start.
start_xvfb_unless_display() {
  xvfb_pid=""
  [ -z "${DISPLAY:-}" ] || return 0
  local number_file number
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number_file" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$number_file" ] && break
    sleep 0.1
  done
  number=$(head -n 1 "$number_file")
  rm -f "$number_file"
  if [ -z "$number" ]; then
    kill "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
    return 1
  fi
  export DISPLAY=":$number"
}

# Wine in a prefix of the caller's own. No Mono or Gecko installer: they
# would open dialogs nobody answers.
use_wine_prefix() {
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree=;mshtml="
}
