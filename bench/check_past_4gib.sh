#!/usr/bin/env bash
# Converts a 5 GiB input that holds long SDR commands after the 4 GiB mark and
# checks their segments: joined back in reverse order, each field's pieces must
# give the input field's digits, and the segment lengths must add up to the
# command's length. Writes about 10 GiB into the work folder, so it is not part
# of the default test run.
#
#   bench/check_past_4gib.sh [WORK_DIR]      (default: build/past-4gib)
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-build/past-4gib}
mkdir -p "$work"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

input=$work/big.svf
line='STATE IDLE;'            # 12 bytes with its line feed; copied unchanged
filler=$((4608 * 1024 * 1024)) # 4.5 GiB, a multiple of 12
{ yes "$line" || true; } | head -c "$filler" >"$input"
build/release/bench/svfgen --kind sdr-heavy --size 3M --sdr-bits 1000000 \
  --output "$work/sdr.svf"
cat "$work/sdr.svf" >>"$input"
rest=$(((5 * 1024 * 1024 * 1024 - $(stat -c %s "$input")) / 12 * 12))
{ yes "$line" || true; } | head -c "$rest" >>"$input"
echo "input: $(stat -c %s "$input") bytes; long SDR commands from offset $filler"

time build/release/app/svfseg "$input"
output=${input%.svf}.gvf

python3 - "$input" "$output" "$filler" <<'PY'
import re, sys
input_path, output_path, start = sys.argv[1], sys.argv[2], int(sys.argv[3])
window = 8 << 20
with open(input_path, 'rb') as f:
    f.seek(start)
    source = f.read(window).decode()
with open(output_path, 'rb') as f:
    f.seek(start)  # everything before the mark is copied unchanged
    converted = f.read(window).decode()

commands = []
for m in re.finditer(r'^SDR (\d+) TDI \(([^)]*)\)\s*TDO \(([^)]*)\)\s*MASK \(([^)]*)\);', source, re.M):
    commands.append((int(m.group(1)), *(re.sub(r'\s', '', g) for g in m.groups()[1:])))
runs, current = [], None
for m in re.finditer(r'^(SDRS 256|SDR (\d+)) TDI \(([0-9A-F]*)\) TDO \(([0-9A-F]*)\) MASK \(([0-9A-F]*)\) ;', converted, re.M):
    bits = int(m.group(2)) if m.group(2) else 256
    current = current or [0, '', '', '']
    current[0] += bits
    for i in range(3):
        current[i + 1] = m.group(i + 3) + current[i + 1]
    if m.group(2):
        runs.append(current)
        current = None
assert commands and len(runs) == len(commands), (len(runs), len(commands))
for (bits, *fields), (total, *joined) in zip(commands, runs):
    digits = (bits + 3) // 4
    assert total == bits, (total, bits)
    for field, back in zip(fields, joined):
        assert back == field[-digits:].rjust(digits, '0'), 'field data differs'
print(f'OK: {len(commands)} long SDR commands after offset {start} '
      f'({", ".join(str(c[0]) for c in commands)} bits) split exactly')
PY
rm -f "$input" "$output" "$work/sdr.svf"
