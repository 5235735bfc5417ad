#!/usr/bin/env bash
# Runs the Damaged check over a corpus of valid files made by valid-corpus.sh and counts what it
# lists there: every damaged or tail row is a false verdict. Prints, per <writer>/<type>, the files,
# the damaged and tail rows, then the reasons grouped (digits folded, entry names left out) with an
# example of each.
#
#   valid-corpus-run.sh [--examples DIR] [--expect-none] [--cut N] <root> [brenvik-cli]
#   valid-corpus-run.sh --sample [--expect-none] [brenvik-cli]
#
# The program is the second argument, else $BRENVIK_CLI, else build/cli/brenvik-cli of this tree.
# Every other criterion (names, extensions, headers) is turned off, so every file reaches the check.
# --examples DIR copies two files of each class of false verdict to DIR/<type>-<reason>/.
# --expect-none exits 1 when any damaged or tail row is listed (for a test over the sample).
# --sample makes the corpus's sample (valid-corpus.sh --sample) in a temporary folder first.
# --cut N also checks copies of N files of each writer/type (spread over its modes) cut to 60 % of their size, and
# shows how many of those the check lists: a check that judges nothing would list no valid file either.
set -euo pipefail

examples="" expect_none=0 sample=0 cut=0
while [ $# -gt 0 ]; do
  case $1 in
    --sample) sample=1; shift ;;
    --examples) examples=$2; shift 2 ;;
    --expect-none) expect_none=1; shift ;;
    --cut) cut=$2; shift 2 ;;
    *) break ;;
  esac
done
if [ $sample -eq 0 ] && [ $# -lt 1 ]; then
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
made=$(mktemp -d)
trap 'rm -rf "$made"' EXIT
rows=$made/rows.json
if [ $sample -eq 1 ]; then
  "$(dirname "$0")/valid-corpus.sh" --sample "$made/sample" 2> "$made/sample.log" || { cat "$made/sample.log" >&2; exit 2; }
  set -- "$made/sample" "$@"
fi
root=$(cd "$1" && pwd)
cli=${2:-${BRENVIK_CLI:-$(cd "$(dirname "$0")/../.." && pwd)/build/cli/brenvik-cli}}
[ -x "$cli" ] || { echo "no brenvik-cli at $cli (pass it or set BRENVIK_CLI)" >&2; exit 2; }

off=()
for n in 1 2 3 4 5 6 7 8 9; do off+=(--uncheck-name-rule "$n"); done
for e in jpg png gif cr2 dwg bmp dcm psd tif tiff nef dng cdr ai crw raf rtf pdf doc xls ppt docx xlsx pptx \
  mdb accdb rar zip 7z mp3 wav amr mp4 mov swf asf 3gp flv avi mxf; do
  off+=(--uncheck-extension "$e")
done
start=$(date +%s%N)
status=0
"$cli" invalid-files --damaged --json --no-file-header "${off[@]}" "$root" > "$rows" 2> "$rows.err" || status=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
if [ $status -ne 0 ]; then
  echo "brenvik-cli ended with $status:" >&2
  tail -5 "$rows.err" >&2
fi
rm -f "$rows.err"

if [ "$cut" -gt 0 ]; then
  python3 - "$root" "$made/cut" "$cut" << 'EOF'
import os, sys
root, out, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
for writer in sorted(os.listdir(root)):
    if not os.path.isdir(os.path.join(root, writer)):
        continue
    for kind in sorted(os.listdir(os.path.join(root, writer))):
        folder = os.path.join(root, writer, kind)
        os.makedirs(os.path.join(out, writer, kind), exist_ok=True)
        names = sorted(os.listdir(folder))
        for name in names[:: max(1, len(names) // n)][:n]:  # spread over the writer's modes
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if len(data) >= 10:
                with open(os.path.join(out, writer, kind, name), "wb") as f:
                    f.write(data[: len(data) * 3 // 5])
EOF
  "$cli" invalid-files --damaged --json --no-file-header "${off[@]}" "$made/cut" > "$made/cut.json" 2> /dev/null || true
fi

python3 - "$root" "$rows" "$examples" "$expect_none" "$elapsed" "$made/cut" "$made/cut.json" << 'EOF'
import collections, json, os, re, shutil, sys

root, rows, examples, expect_none, seconds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1", int(sys.argv[5]) / 1000
cut_root, cut_rows = sys.argv[6], sys.argv[7]

def group_of(path, top=root):
    parts = os.path.relpath(path, top).split(os.sep)
    return "/".join(parts[:2]) if len(parts) >= 3 else None

def count_files(top):
    found = collections.Counter()
    for folder, _, names in os.walk(top):
        for name in names:
            group = group_of(os.path.join(folder, name), top)
            if group:
                found[group] += 1
    return found

files = count_files(root)
cut_files, cut_listed = collections.Counter(), collections.Counter()
if os.path.exists(cut_rows):
    cut_files = count_files(cut_root)
    with open(cut_rows, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            try:
                row = json.loads(line)
            except ValueError:
                continue
            if row.get("status") in ("damaged", "tail"):
                cut_listed[group_of(row["path"], cut_root)] += 1

def fold(reason):
    reason = re.sub(r"^(zip: entry ).*( (local header damaged|data damaged|CRC error))$", r"\1…\2", reason)
    kind, colon, why = reason.partition(": ")
    if not colon:
        kind, why = "", reason
    return kind + colon + re.sub(r"\b\d+\b", "N", why)

def mode_of(path):
    # Generated files are named <mode>-<n>.<ext>; files copied from elsewhere keep their own names.
    found = re.match(r"^([a-z0-9-]+?)-\d+\.", os.path.basename(path))
    return found.group(1) if found else "*"

listed = collections.defaultdict(collections.Counter)   # group -> status -> count
classes = collections.defaultdict(list)                  # (status, folded reason) -> [(group, path, reason)]
other = collections.Counter()
with open(rows, encoding="utf-8", errors="surrogateescape") as f:
    for line in f:
        try:
            row = json.loads(line)
        except ValueError:
            continue
        group = group_of(row["path"])
        if group is None:
            continue
        status = row.get("status", "")
        if status not in ("damaged", "tail"):
            other[status] += 1
            continue
        listed[group][status] += 1
        classes[(status, fold(row.get("reason", "")))].append((group, row["path"], row.get("reason", "")))

total = sum(files.values())
damaged = sum(c["damaged"] for c in listed.values())
tail = sum(c["tail"] for c in listed.values())
cuts = bool(cut_files)
print(f"{'writer/type':38} {'files':>6} {'damaged':>8} {'tail':>6}  false %" + ("   cut copies listed" if cuts else ""))
for group in sorted(files):
    c = listed[group]
    wrong = c["damaged"] + c["tail"]
    mark = f"{100 * wrong / files[group]:7.1f}" if wrong else "      -"
    caught = f"   {cut_listed[group]:5} of {cut_files[group]}" if cuts else ""
    print(f"{group:38} {files[group]:6} {c['damaged'] or '':>8} {c['tail'] or '':>6}  {mark}{caught}")
caught = f"   {sum(cut_listed.values()):5} of {sum(cut_files.values())}" if cuts else ""
print(f"{'all':38} {total:6} {damaged:8} {tail:6}  {100 * (damaged + tail) / max(total, 1):7.2f}{caught}")
print(f"check took {float(seconds):.1f} s for {total} files")
if other:
    print("rows of other criteria (should be none):", dict(other))

if classes:
    print("\nreasons (false verdicts), most first:")
for (status, reason), hits in sorted(classes.items(), key=lambda kv: -len(kv[1])):
    by_group = collections.Counter(group for group, _, _ in hits)
    by_mode = collections.Counter(f"{group}:{mode_of(path)}" for group, path, _ in hits)
    spread = ", ".join(f"{g} {n}" for g, n in by_mode.most_common(8))
    print(f"  {len(hits):6}  {status:7} {reason}\n          in {spread}")
    print(f"          e.g. {os.path.relpath(hits[0][1], root)}")
    if examples:
        slug = re.sub(r"[^a-z0-9]+", "-", f"{reason}".lower()).strip("-")[:70]
        target = os.path.join(examples, f"{status}-{slug}" if status == "tail" else slug)
        os.makedirs(target, exist_ok=True)
        # Two examples from different writers where there are.
        seen, picked = set(), []
        for group, path, _ in hits:
            if group not in seen:
                seen.add(group); picked.append((group, path))
        reasons = {path: full for _, path, full in hits}
        chosen = (picked + [(g, p) for g, p, _ in hits if (g, p) not in picked])[:2]
        for group, path in chosen:
            shutil.copy2(path, os.path.join(target, group.replace("/", "__") + "__" + os.path.basename(path)))
        with open(os.path.join(target, "README.txt"), "w") as note:
            note.write(f"{status}: {reason}\n{len(hits)} valid files of the corpus got this verdict, in {spread}.\n")
            for group, path in chosen:
                note.write(f"{os.path.relpath(path, root)}: {reasons[path]}\n")

sys.exit(1 if expect_none and (damaged or tail) else 0)
EOF
