#!/usr/bin/env bash
# Starts the desktop application from the build tree under Xvfb, as a person
# would start it, against the virtual scanner, and photographs the scan
# window idle, during a scan with previews, and with the done sheet, on a
# 1600 x 1200 screen and on a 1024 x 600 one (a netbook's):
#
#   scripts/screenshots/take-screenshots.sh [BUILD-DIR] [OUT-DIR]
#
# writes OUT-DIR/scan-window-idle.png, scan-window-scanning.png and
# scan-window-done.png (1600 x 1200), scan-window-idle-1024x600.png and
# scan-window-done-1024x600.png (default OUT-DIR: docs/screenshots); on the
# small screen the file has a long name, which the done sheet wraps. The scan
# is driven with the keyboard through xdotool; the pictures are taken by
# grab-screen, built here from grab-screen.cpp.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$(mkdir -p "${2:-$root/docs/screenshots}" && cd "${2:-$root/docs/screenshots}" && pwd)

if [ "${QUIREL_SHOTS_INSIDE:-}" != 1 ]; then
  for tool in xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "take-screenshots: $tool is not installed" >&2; exit 69; }
  done
  cmake --build "$build" --target Quirel quirel_grab_screen >/dev/null
  QUIREL_SHOTS_INSIDE=1 QUIREL_SHOTS_SCREEN=1600x1200 xvfb-run -a -s "-screen 0 1600x1200x24 -dpi 96" "$0" "$build" "$out"
  QUIREL_SHOTS_INSIDE=1 QUIREL_SHOTS_SCREEN=1024x600 exec xvfb-run -a -s "-screen 0 1024x600x24 -dpi 96" "$0" "$build" "$out"
fi
if [ "$QUIREL_SHOTS_SCREEN" = 1024x600 ]; then
  suffix=-1024x600 at=0 name="Correspondence with the insurance company about the claim of March 2024.pdf"
else
  suffix= at=20 name=Letters.pdf
fi

app="$build/Quirel.app/Contents/MacOS/Quirel"
grab="$build/quirel_grab_screen"
work=$(mktemp -d)
trap 'kill "${pid:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT

# A fresh user whose saved settings ask for duplex colour at 150 dpi.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cat >"$XDG_CONFIG_HOME/com.brannoch.quirel.shared.plist" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>migration</key>
	<integer>1</integer>
	<key>Quirel Default Settings</key>
	<dict>
		<key>PrefsVersion</key><integer>2</integer>
		<key>UsingMetric</key><string>YES</string>
		<key>ScanType</key><integer>24</integer>
		<key>Resolution</key><integer>150</integer>
		<key>PaperWidth</key><real>215.9</real>
		<key>PaperHeight</key><real>279.4</real>
		<key>Duplex</key><string>YES</string>
		<key>Orientation</key><string>Long0</string>
		<key>FullPage</key><string>YES</string>
		<key>DoubleFeedByThickness</key><string>YES</string>
		<key>DoubleFeedByLength</key><string>YES</string>
		<key>DefaultThreshold</key><string>YES</string>
		<key>BlackPoint</key><integer>16</integer>
		<key>WhitePoint</key><integer>231</integer>
		<key>FormatType</key><integer>2</integer>
		<key>Action Shows Preview</key><string>YES</string>
	</dict>
</dict>
</plist>
EOF

export QUIREL_VIRTUAL_SCANNER="${QUIREL_VIRTUAL_SCANNER:-model=fi-7160;sheets=80}"
export QT_QPA_PLATFORM=xcb
"$app" >"$work/app.log" 2>&1 &
pid=$!

win=$(xdotool search --sync --onlyvisible --name '^Quirel$' | head -1)
xdotool windowmove "$win" "$at" "$at"
sleep 1.5

shot() {  # shot NAME WINDOW
  eval "$(xdotool getwindowgeometry --shell "$2")"
  "$grab" "$out/$1.png" "$X" "$Y" "$WIDTH" "$HEIGHT"
  echo "$out/$1.png"
}

shot "scan-window-idle$suffix" "$win"

# Scan: Ctrl+S opens the save panel; type the file name and press Return.
xdotool windowfocus --sync "$win"
xdotool key --window "$win" ctrl+s
panel=$(xdotool search --sync --onlyvisible --name '^Quirel$' | grep -v "^$win\$" | head -1 || true)
sleep 0.8
xdotool key ctrl+a
xdotool type --delay 20 "$work/$name"
xdotool key Return

# Wait until a few pages have arrived, then photograph the running scan.
sleep "${QUIREL_SHOTS_SCAN_DELAY:-1.6}"
[ -z "$suffix" ] && shot scan-window-scanning "$win"

# The done sheet appears when the scan ends.
sheet=$(xdotool search --sync --onlyvisible --name '^Scan finished$' | head -1)
sleep 1
shot "scan-window-done$suffix" "$win"

# Quit from the done sheet (Ctrl+Q works there; Escape would only close it).
xdotool windowfocus --sync "$sheet" 2>/dev/null || true
xdotool key --window "$sheet" ctrl+q 2>/dev/null || true  # the window is gone before the key is up
wait "$pid" || true
