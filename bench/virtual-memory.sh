#!/usr/bin/env bash
# Peak resident memory of the tool scanning page files from the virtual
# scanner: a duplex colour 300 dpi scan of N US Letter PNG pages, once as
# JPEG and once raw (--no-jpeg). The memory should not grow with N.
#
#   bench/virtual-memory.sh BUILD-DIR [N...]     (default N: 20 200)
set -euo pipefail
build=${1:?usage: $0 BUILD-DIR [N...]}
shift
[ $# -eq 0 ] && set -- 20 200
counts=("$@")
tool=$build/bin/quirel
work=$(mktemp -d /tmp/quirel-vmem-XXXXXX)
trap 'rm -rf "$work"' EXIT

max=0
for n in "${counts[@]}"; do [ "$n" -gt "$max" ] && max=$n; done

# Pages of 2550 x 3300 pixels: a coloured band, text-like bars and the page
# number in bars, so each page differs and compresses like a document.
python3 - "$work" "$max" <<'EOF'
import struct, sys, zlib
folder, count = sys.argv[1], int(sys.argv[2])
w, h = 2550, 3300
def chunk(kind, data):
    c = kind + data
    return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xffffffff)
white = b"\xff" * (3 * w)
for p in range(count):
    band = bytes([(p * 37) % 256, (p * 91) % 256, (p * 53) % 256]) * w
    rows = []
    for y in range(h):
        if 300 <= y < 600:
            row = band
        elif 900 <= y < 2700 and (y // 30) % 2 == 0:
            row = bytearray(white)
            x = 150 + (y * 7 + p * 13) % 200
            while x + 300 < w - 150:
                row[3 * x:3 * (x + 240)] = b"\x20" * 720
                x += 300 + (x * 31 + y) % 150
            row = bytes(row)
        elif 3000 <= y < 3100:
            row = bytearray(white)
            for bit in range(10):
                if (p >> bit) & 1:
                    row[3 * (300 + 150 * bit):3 * (400 + 150 * bit)] = b"\x00" * 300
            row = bytes(row)
        else:
            row = white
        rows.append(b"\x00" + row)
    data = zlib.compress(b"".join(rows), 6)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", data) + chunk(b"IEND", b"")
    with open("%s/page-%03d.png" % (folder, p + 1), "wb") as f:
        f.write(png)
EOF

printf '%-6s %-6s %12s %10s\n' pages form peak_MiB wall
for n in "${counts[@]}"; do
  files=("$work"/page-*.png)
  pages=$(IFS=,; echo "${files[*]:0:$n}")
  for form in jpeg raw; do
    extra=()
    [ "$form" = raw ] && extra=(--no-jpeg)
    rm -f "$work/out.pdf"
    status=0
    QUIREL_VIRTUAL_SCANNER="model=fi-7160;dpi=300;pages=$pages" /usr/bin/time -v -o "$work/time.txt" \
      "$tool" --rgb --duplex --resolution 300 --pdf "${extra[@]}" "$work/out.pdf" >/dev/null 2>"$work/err.txt" ||
      status=$?
    if [ "$status" -ne 0 ]; then
      echo "$n $form: the scan failed (status $status): $(tail -n 3 "$work/err.txt")" >&2
      exit 1
    fi
    kib=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
    printf '%-6s %-6s %12d %10s\n' "$n" "$form" $((kib / 1024)) "$wall"
  done
done
