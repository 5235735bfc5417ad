#!/usr/bin/env python3
"""Lays real file-system volumes over member images in every layout, analyses them with brenvik-cli
and checks each answer by assembling the volume it names.

Volumes: NTFS (tests/data/raid/ntfs-volume.img.gz, made by mkntfs and ntfs-3g), ext4 (mke2fs -d
over a folder of text and binary files) and FAT32 (mkfs.fat, files copied in with mcopy). Each is
striped by this script as a controller would (RAID 0, the four RAID 5 rotations, md's RAID 10
near-2 and RAID 6) or spanned over 2 to 4 members of equal or random sizes (JBOD), with the first
stripe row at sector 0 or later, the members handed over shuffled, and for RAID 5 and RAID 6 also
with one member given as "missing" (which the analysis cannot check a RAID 6 with: it must stay
silent). An answer is right when the
volume it assembles is the original byte for byte from its start; "right, a turn in" when it holds
the original at the start of a later turn (the records cannot tell a start one turn later and no
first block said where the volume begins); "silent" is not enough records or uncertain.

Usage: layout_accuracy.py BRENVIK_CLI SOURCE_DIR WORK_DIR [--quick]
Prints one line per array and a table per layout.
"""
import gzip
import json
import os
import random
import shutil
import subprocess
import sys

LAYOUTS = ["raid0", "raid5-left-asymmetric", "raid5-left-symmetric", "raid5-right-asymmetric",
           "raid5-right-symmetric", "raid10", "raid6", "jbod", "raid5-delayed"]
# A delayed parity keeps a row's parity member for this many rows (some hardware controllers).
DELAYS = (2, 4, 16)


def place(layout, members, chunk, delay=1):
    """(position in the member order, row) of data stripe `chunk`."""
    if layout == "raid0":
        return chunk % members, chunk // members
    per_row = members - 1
    row, index = divmod(chunk, per_row)
    turn = row // delay % members
    left = "left" in layout
    parity = members - 1 - turn if left else turn
    if "-symmetric" in layout:
        return (parity + 1 + index) % members, row
    return (index if index < parity else index + 1), row


MUL2 = bytes(((b << 1) ^ (0x1d if b & 0x80 else 0)) & 0xFF for b in range(256))


def xor(a, b):
    return (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")


def stripe_raid6(volume, members, stripe, start):
    """Linux md's RAID 6, left-symmetric: P on n - 1 - r mod n, Q after it, data after Q."""
    per_row = members - 2
    rows = -(-len(volume) // (per_row * stripe))
    images = [bytearray(start + rows * stripe) for _ in range(members)]
    for row in range(rows):
        p = members - 1 - row % members
        at = start + row * stripe
        psum = bytes(stripe)
        qsum = bytes(stripe)
        for index in reversed(range(per_row)):
            data = volume[(row * per_row + index) * stripe:(row * per_row + index + 1) * stripe].ljust(stripe, b"\0")
            images[(p + 2 + index) % members][at:at + stripe] = data
            psum = xor(psum, data)
            qsum = xor(qsum.translate(MUL2), data)
        images[p][at:at + stripe] = psum
        images[(p + 1) % members][at:at + stripe] = qsum
    return images


def span_volume(volume, members, equal, start, rnd):
    """A spanned set (JBOD): the volume cut into `members` pieces, equal or of random sizes in
    whole MiB, each after `start` bytes of the member."""
    mib = 1 << 20
    whole = len(volume) // mib
    if equal:
        cuts = [whole * i // members * mib for i in range(1, members)]
    else:
        cuts = sorted(rnd.sample(range(1, whole), members - 1)) if whole > members else []
        cuts = [c * mib for c in cuts]
    bounds = [0] + cuts + [len(volume)]
    return [bytearray(start) + volume[bounds[i]:bounds[i + 1]] for i in range(members)]


def stripe_volume(volume, layout, members, stripe, start, delay=1):
    """The member images in array order."""
    if layout == "raid6":
        return stripe_raid6(volume, members, stripe, start)
    if layout == "raid10":
        halves = stripe_volume(volume, "raid0", members // 2, stripe, start)
        return [bytearray(halves[m // 2]) for m in range(members)]
    per_row = members if layout == "raid0" else members - 1
    rows = -(-len(volume) // (per_row * stripe))
    images = [bytearray(start + rows * stripe) for _ in range(members)]
    for chunk in range(rows * per_row):
        data = volume[chunk * stripe:(chunk + 1) * stripe]
        if not data:
            break
        position, row = place(layout, members, chunk, delay)
        at = start + row * stripe
        images[position][at:at + len(data)] = data
    if layout != "raid0":
        for row in range(rows):
            turn = row // delay % members
            parity = members - 1 - turn if "left" in layout else turn
            at = start + row * stripe
            acc = 0
            for m in range(members):
                if m != parity:
                    acc ^= int.from_bytes(images[m][at:at + stripe], "little")
            images[parity][at:at + stripe] = acc.to_bytes(stripe, "little")
    return images


def make_files(folder, seed):
    rnd = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    words = ["stripe", "parity", "member", "volume", "record", "sector", "table", "folder", "image", "disk"]
    for i in range(60):
        with open(os.path.join(folder, "note%03d.txt" % i), "w") as f:
            for _ in range(rnd.randint(20, 3000)):
                f.write(" ".join(rnd.choice(words) for _ in range(rnd.randint(3, 12))) + "\n")
    for i in range(40):
        with open(os.path.join(folder, "data%03d.bin" % i), "wb") as f:
            f.write(rnd.randbytes(rnd.randint(4096, 400 * 1024)))


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, **kw)


def volumes(source, work):
    found = {}
    with gzip.open(os.path.join(source, "tests/data/raid/ntfs-volume.img.gz")) as f:
        found["ntfs"] = f.read()
    files = os.path.join(work, "files")
    make_files(files, 7)
    ext4 = os.path.join(work, "ext4.img")
    run(["truncate", "-s", "0", ext4])
    run(["truncate", "-s", "48M", ext4])
    if run(["mke2fs", "-q", "-F", "-t", "ext4", "-d", files, ext4]).returncode == 0:
        found["ext4"] = open(ext4, "rb").read()
    fat = os.path.join(work, "fat.img")
    run(["truncate", "-s", "0", fat])
    run(["truncate", "-s", "48M", fat])
    if run(["mkfs.fat", "-F", "32", fat]).returncode == 0:
        names = [os.path.join(files, n) for n in sorted(os.listdir(files))]
        if run(["mcopy", "-i", fat] + names + ["::/"], env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).returncode == 0:
            found["fat32"] = open(fat, "rb").read()
    return found


def right(assembled, volume, turn_bytes):
    """Where the original sits in the assembled volume: at its start (0), at the start of a later
    turn (its offset), or nowhere (None)."""
    for at in range(0, max(1, len(assembled) - len(volume) + 1), turn_bytes):
        if assembled[at:at + len(volume)] == volume:
            return at
    return None


def main():
    cli, source, work = sys.argv[1], sys.argv[2], sys.argv[3]
    quick = "--quick" in sys.argv
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    vols = volumes(source, work)
    rnd = random.Random(5)
    # Shuffles and cuts of the arrays added later, apart, so that the earlier arrays stay as they were.
    later = random.Random(11)
    delayed = random.Random(17)
    table = {}
    for fs_name, volume in vols.items():
        for layout in LAYOUTS:
            shapes = [(3, 64), (4, 128), (5, 32), (6, 256)] if not quick else [(3, 64), (4, 128)]
            if layout in ("raid10", "raid6"):
                shapes = [(4, 32), (4, 64), (6, 32), (6, 128)]
            if layout == "jbod":
                # Equal members (0) and members of random sizes (1).
                shapes = [(2, 0), (2, 1), (3, 0), (3, 1), (4, 0), (4, 1)]
            for members, stripe_kib in shapes:
                for start in (0, 2048):
                    rotation, delay = layout, 1
                    if layout == "raid5-delayed":
                        rotation, delay = delayed.choice(LAYOUTS[1:5]), delayed.choice(DELAYS)
                    if layout in ("raid0", "raid10", "jbod"):
                        drops = [None]
                    elif layout == "raid6":
                        drops = [None, later.randrange(members)]
                    elif layout == "raid5-delayed":
                        drops = [None, delayed.randrange(members)]
                    else:
                        drops = [None, rnd.randrange(members)]
                    for drop in drops:
                        stripe = stripe_kib * 1024
                        if layout == "jbod":
                            images = span_volume(volume, members, stripe_kib == 0, start * 512, later)
                        else:
                            images = stripe_volume(volume, rotation, members, stripe, start * 512, delay)
                        given = list(range(members))
                        (delayed if layout == "raid5-delayed" else
                         later if layout == "jbod" or (layout == "raid6" and drop is not None) else rnd).shuffle(given)
                        paths = []
                        for i, position in enumerate(given):
                            if position == drop:
                                paths.append("missing")
                                continue
                            path = os.path.join(work, "m%d.img" % i)
                            with open(path, "wb") as f:
                                f.write(images[position])
                            paths.append(path)
                        end = max(len(image) for image in images) // 512 - 1
                        log = os.path.join(work, "map.txt")
                        out = run([cli, "raid", *paths, "--log-file", log, "--start-sector", "0",
                                   "--end-sector", str(end), "--json"])
                        answer = json.loads(out.stdout.decode().strip().splitlines()[-1])
                        shape = ("unequal" if stripe_kib else "equal") if layout == "jbod" else "%dK" % stripe_kib
                        name = "%s %s n=%d %s start=%d%s" % (fs_name, layout if delay == 1 else
                                                             "%s delayed %d" % (rotation, delay), members, shape,
                                                             start, " missing" if drop is not None else "")
                        verdict = "silent"
                        if answer["verdict"] == "decided":
                            best = answer["best"]
                            image = os.path.join(work, "volume.img")
                            if os.path.exists(image):
                                os.remove(image)
                            cmd = [cli, "raid", *paths, "--layout", best["layout"], "--order",
                                   ",".join(str(m + 1) for m in best["memberOrder"]),
                                   "--start", str(best["startSector"]), "--assemble", image]
                            if best["layout"] != "jbod":
                                cmd += ["--stripe", "%ds" % best["stripeSectors"]]
                            if "parityDelay" in best:
                                cmd += ["--parity-delay", str(best["parityDelay"])]
                            run(cmd)
                            assembled = open(image, "rb").read() if os.path.exists(image) else b""
                            per_row = {"raid0": members, "raid10": members // 2,
                                       "raid6": members - 2}.get(best["layout"], members - 1)
                            # The records cannot tell a start one turn later: a row for RAID 0, RAID 10,
                            # RAID 6 and the symmetric rotations (the order rotated), all members' rows else.
                            rows_per_turn = (1 if best["layout"] in ("raid0", "raid10", "raid6")
                                             or "-symmetric" in best["layout"] else members)
                            turn = (per_row * rows_per_turn * best.get("parityDelay", 1) * best["stripeSectors"] * 512
                                    or len(assembled) + 1)
                            at = right(assembled, volume, turn)
                            verdict = "WRONG" if at is None else "right" if at == 0 else "right, %d bytes in" % at
                            if at is not None and (best.get("layout") != rotation or best.get("parityDelay", 1) != delay):
                                verdict = "WRONG"
                            source_kind = ("parity" if answer.get("fromParityPlaces")
                                           else "places" if best["layout"] == "jbod" else "records")
                            verdict += " (" + source_kind + ")"
                        print(name + ": " + verdict + " " + json.dumps(answer.get("best")), flush=True)
                        key = (fs_name, layout + (" missing" if drop is not None else ""))
                        row = table.setdefault(key, {"right": 0, "later": 0, "silent": 0, "wrong": 0})
                        row["later" if verdict.startswith("right,") else "right" if verdict.startswith("right")
                            else "wrong" if verdict.startswith("WRONG") else "silent"] += 1
    print("\n| volume | layout | arrays | right | right, a turn in | silent | wrong |\n|---|---|---|---|---|---|---|")
    for (fs_name, layout), row in sorted(table.items()):
        print("| %s | %s | %d | %d | %d | %d | %d |" % (fs_name, layout, sum(row.values()), row["right"], row["later"],
                                                       row["silent"], row["wrong"]))


if __name__ == "__main__":
    main()
