#!/usr/bin/env bash
# Starts the desktop application from the build tree against the virtual
# scanner:
#
#   scripts/app.sh [BUILD-DIR]
#
# Unless QUIREL_VIRTUAL_SCANNER is set, the attached scanners are the lines of
# a file (QUIREL_APP_SCANNERS, default BUILD-DIR/virtual-scanners), made with
# one fi-7160 the first time. Edit the file while Quirel runs to plug and
# unplug scanners: add a line and a scanner arrives, remove it and it departs.
set -euo pipefail
build=${1:-build}
app="$build/Quirel.app/Contents/MacOS/Quirel"
if [ ! -x "$app" ]; then
  echo "app: no application in $build (build it with: make build)" >&2
  exit 1
fi
if [ -z "${QUIREL_VIRTUAL_SCANNER:-}" ]; then
  file="${QUIREL_APP_SCANNERS:-$build/virtual-scanners}"
  if [ ! -e "$file" ]; then
    printf '%s\n' "# Virtual scanners, one description per line (see README.md, The virtual scanner)." \
      "# Edit while Quirel runs: a new line plugs a scanner in, a removed line unplugs it." \
      "model=fi-7160;sheets=5" >"$file"
  fi
  export QUIREL_VIRTUAL_SCANNER="@$(cd "$(dirname "$file")" && pwd)/$(basename "$file")"
  echo "virtual scanners: ${QUIREL_VIRTUAL_SCANNER#@}"
fi
exec "$app"
