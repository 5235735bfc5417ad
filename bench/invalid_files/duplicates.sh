#!/usr/bin/env bash
# Duplicates against rmlint and jdupes on one corpus: 100,000 files in 100 folders (sizes from a
# byte to 64 KiB, a few of a few MiB), with copies planted in other folders (pairs and triples),
# near copies (the same size and the same first and last 4 KiB, another byte in the middle),
# empty files, and many files that share a size but not their bytes. Each tool runs once to warm
# the page cache, then three times timed; the table gives the median time and the largest resident
# memory, and the groups each tool found are compared with each other and with the planted ones.
#   duplicates.sh <work folder> [brenvik-cli] [files]
# Needs rmlint, jdupes, python3 and GNU time.
set -euo pipefail
export LC_ALL=C
work=$1
cli=${2:-$(dirname "$0")/../../build/cli/brenvik-cli}
files=${3:-100000}
mkdir -p "$work"
work=$(cd "$work" && pwd)
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
corpus="$work/corpus"

if [ ! -f "$work/planted.txt" ]; then
  rm -rf "$corpus"
  python3 - "$corpus" "$files" "$work/planted.txt" <<'PY'
import os, random, sys
corpus, count, planted_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(20261208)
folders = [os.path.join(corpus, f"d{n:03}") for n in range(100)]
for folder in folders:
    os.makedirs(folder)
def size():
    r = rng.random()
    if r < 0.002:
        return rng.randint(1 << 20, 4 << 20)
    if r < 0.2:   # small files, so many share a size
        return rng.randint(1, 2000)
    return int(2 ** rng.uniform(11, 16))
groups = []
made = 0
def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)
while made < count:
    folder = folders[made % len(folders)]
    path = os.path.join(folder, f"f{made:07}.bin")
    r = rng.random()
    if r < 0.01:
        write(path, b"")
        made += 1
    elif r < 0.06 and made + 3 <= count:
        data = os.urandom(size())
        copies = [path] + [os.path.join(rng.choice(folders), f"f{made + k:07}.bin") for k in (1, 2)][: rng.choice((1, 2))]
        for p in copies:
            write(p, data)
        groups.append(sorted(copies))
        made += len(copies)
    elif r < 0.07 and made + 2 <= count:
        n = max(8193, size())
        data = bytearray(os.urandom(n))
        write(path, data)
        data[n // 2] ^= 0xFF
        write(os.path.join(rng.choice(folders), f"f{made + 1:07}.bin"), data)
        made += 2
    else:
        write(path, os.urandom(size()))
        made += 1
with open(planted_path, 'w') as out:
    for group in sorted(groups):
        out.write("\t".join(group) + "\n")
print(f"{made} files, {len(groups)} planted groups")
PY
fi

# Every criterion of the page off but Duplicates.
brenvik_args=(invalid-files "$corpus" --duplicates --temporary-path "$work/tmp")
for n in 1 2 3 4 5 6 7 8 9; do brenvik_args+=(--uncheck-name-rule "$n"); done
for e in jpg png gif cr2 dwg bmp dcm psd tif tiff nef dng cdr ai crw raf rtf pdf doc xls ppt docx xlsx pptx \
         mdb accdb rar zip 7z mp3 wav amr mp4 mov swf asf 3gp flv avi mxf; do
  brenvik_args+=(--uncheck-extension "$e")
done
mkdir -p "$work/tmp"

run() {  # name, output file, command...
  local name=$1 out=$2
  shift 2
  "$@" > "$out" 2> /dev/null || true  # warm
  : > "$work/$name.times"
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %M" -o "$work/$name.one" "$@" > "$out" 2> /dev/null || true
    cat "$work/$name.one" >> "$work/$name.times"
  done
}
run brenvik "$work/brenvik.out" "$cli" "${brenvik_args[@]}"
run jdupes "$work/jdupes.out" jdupes -r -q "$corpus"
run rmlint "$work/rmlint.out" rmlint -T df -o json:"$work/rmlint.json" -o summary:"$work/rmlint.summary" --hidden "$corpus"
# A bare walk that opens each file and reads its first 512 bytes: the floor for any tool.
run walk "$work/walk.out" python3 -c '
import os, sys
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            f.read(512)' "$corpus"

python3 - "$work" <<'PY'
import json, os, sys
work = sys.argv[1]
def groups_brenvik():
    groups = {}
    for line in open(os.path.join(work, "brenvik.out"), encoding="utf-8", errors="surrogateescape"):
        cells = line.rstrip("\n").split("\t")
        if len(cells) >= 5 and cells[2] == "duplicate":
            groups.setdefault(cells[4], {cells[4]}).add(cells[3])
    return {tuple(sorted(g)) for g in groups.values()}
def groups_jdupes():
    groups, current = set(), []
    for line in open(os.path.join(work, "jdupes.out"), encoding="utf-8", errors="surrogateescape"):
        line = line.rstrip("\n")
        if line:
            current.append(line)
        elif current:
            groups.add(tuple(sorted(current)))
            current = []
    if current:
        groups.add(tuple(sorted(current)))
    return groups
def groups_rmlint():
    groups = {}
    for entry in json.load(open(os.path.join(work, "rmlint.json"))):
        if entry.get("type") == "duplicate_file":
            groups.setdefault(entry["checksum"], []).append(entry["path"])
    return {tuple(sorted(g)) for g in groups.values()}
planted = {tuple(line.rstrip("\n").split("\t")) for line in open(os.path.join(work, "planted.txt"))}
found = {"brenvik-cli": groups_brenvik(), "jdupes": groups_jdupes(), "rmlint": groups_rmlint()}
def timing(name):
    rows = [line.split() for line in open(os.path.join(work, name + ".times"))]
    seconds = sorted(float(r[0]) for r in rows)
    return seconds[len(seconds) // 2], max(int(r[1]) for r in rows) / 1024
print(f"{'tool':<12} {'median s':>9} {'max RSS MiB':>12} {'groups':>7} {'same as planted':>16}")
for tool, key in (("brenvik-cli", "brenvik"), ("jdupes", "jdupes"), ("rmlint", "rmlint")):
    seconds, rss = timing(key)
    print(f"{tool:<12} {seconds:>9.2f} {rss:>12.1f} {len(found[tool]):>7} {str(found[tool] == planted):>16}")
seconds, rss = timing("walk")
print(f"{'bare walk':<12} {seconds:>9.2f} {rss:>12.1f}")
same = found["brenvik-cli"] == found["jdupes"] == found["rmlint"]
print("all three found the same groups" if same else "the groups differ")
sys.exit(0 if same else 1)
PY
