#!/usr/bin/env python3
"""Writes the seed corpora of tests/fuzz/corpus from small volumes made with the real
tools (mkntfs/ntfscp, mkfs.fat/mtools, sfdisk) and files made by zip, gzip, convert...
Run again only to refresh the seeds: python3 tests/fuzz/make_seeds.py BUILD_DIR."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "../../build"))


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def seed(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def lznt1(data):
    """Greedy LZNT1 compressor: what an NTFS compression unit holds."""
    out = bytearray()
    for start in range(0, len(data), 4096):
        chunk = data[start:start + 4096]
        body = bytearray()
        pos = 0
        while pos < len(chunk):
            flags, tokens = 0, bytearray()
            for bit in range(8):
                if pos >= len(chunk):
                    break
                length_bits = 12
                i = pos - 1
                while i >= 0x10:
                    length_bits -= 1
                    i >>= 1
                max_len = (1 << length_bits) + 2
                best_len, best_off = 0, 0
                for off in range(1, min(pos, 1 << (16 - length_bits)) + 1):
                    n = 0
                    while n < max_len and pos + n < len(chunk) and chunk[pos + n] == chunk[pos + n - off]:
                        n += 1
                    if n > best_len:
                        best_len, best_off = n, off
                if best_len >= 3:
                    flags |= 1 << bit
                    tokens += struct.pack("<H", ((best_off - 1) << length_bits) | (best_len - 3))
                    pos += best_len
                else:
                    tokens.append(chunk[pos])
                    pos += 1
            body.append(flags)
            body += tokens
        out += struct.pack("<H", 0xB000 | (len(body) - 1)) + body
    return bytes(out)


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    work = tempfile.mkdtemp(prefix="velmora-seeds-")
    try:
        make(work)
    finally:
        shutil.rmtree(work)


def make(w):
    p = lambda name: os.path.join(w, name)
    with open(p("a.txt"), "w") as f:
        f.write("hello fuzz world\n")
    with open(p("b.txt"), "w") as f:
        f.write("b" * 3000)
    with open(p("c.txt"), "w") as f:
        f.write("the quick brown fox " * 80)

    # NTFS: 2 MiB volume, 512-byte clusters; the MFT starts 16 KiB in and the two
    # files get records 64 and 65; the first file's record is marked deleted.
    open(p("n.img"), "wb").truncate(2 << 20)
    run("mkntfs", "-F", "-q", "-Q", "-s", "512", "-c", "512", "-H", "0", "-S", "0", p("n.img"))
    run("ntfscp", "-f", p("n.img"), p("a.txt"), "a.txt")
    run("ntfscp", "-f", p("n.img"), p("b.txt"), "b.txt")
    ntfs = bytearray(open(p("n.img"), "rb").read())
    mft = struct.unpack_from("<Q", ntfs, 0x30)[0] * 512
    rec = lambda n: bytes(ntfs[mft + n * 1024: mft + (n + 1) * 1024])
    # $MFT's own data runs: one run of the MFT's clusters. The seed volume ends with
    # that run and its boot sector says so, so the engine accepts it.
    r0 = rec(0)
    off = struct.unpack_from("<H", r0, 0x14)[0]
    while struct.unpack_from("<I", r0, off)[0] != 0x80:
        off += struct.unpack_from("<I", r0, off + 4)[0]
    runs = r0[off + struct.unpack_from("<H", r0, off + 0x20)[0]: off + struct.unpack_from("<I", r0, off + 4)[0]]
    length_bytes = runs[0] & 15
    end_sector = mft // 512 + int.from_bytes(runs[1:1 + length_bytes], "little")
    ntfs[mft + 64 * 1024 + 0x16] &= 0xFE
    cut = bytearray(ntfs[:(end_sector + 1) * 512])
    struct.pack_into("<Q", cut, 0x28, end_sector)
    seed("quick_scan", "ntfs_deleted_file", bytes(cut))
    seed("deep_scan", "ntfs_deleted_file", bytes(cut))
    seed("ntfs_boot_sector", "mkntfs_512", ntfs[:512])
    for n in (0, 5, 6, 64, 65):
        seed("mft_record", "record_%d" % n, rec(n))
    seed("data_runs", "mft_runs", struct.pack("<Q", 4096) + runs)
    seed("data_runs", "sparse", struct.pack("<Q", 0) + bytes([0x21, 0x10, 0x00, 0x01, 0x01, 0x08, 0x11, 0x04, 0x30, 0x00]))
    # An attribute list naming $STANDARD_INFORMATION, $FILE_NAME and a named $DATA
    # extent held in another record.
    entries = b""
    for type_, vcn, record, name in ((0x10, 0, 64, ""), (0x30, 0, 64, ""), (0x80, 0, 70, "ads"), (0x80, 40, 71, "ads")):
        name16 = name.encode("utf-16-le")
        length = (0x1A + len(name16) + 7) // 8 * 8
        entry = struct.pack("<IHBBQQH", type_, length, len(name), 0x1A, vcn, record | (1 << 48), 0) + name16
        entries += entry.ljust(length, b"\0")
    seed("attribute_list", "four_entries", entries)
    seed("attribute_list", "from_record_0", r0[0x38:0x38 + 0x60])

    text = (open(p("c.txt"), "rb").read() + bytes(range(256)) * 10)[:4096]
    seed("lznt1", "text_two_chunks", lznt1(text + text[:4096]))
    seed("lznt1", "uncompressed_chunk", struct.pack("<H", 0x3000 | 4095) + text[:4096])

    # FAT12: 64 KiB with a folder, a long name and a deleted file.
    run("mkfs.fat", "-C", p("f.img"), "64")
    run("mmd", "-i", p("f.img"), "::/dir")
    run("mcopy", "-i", p("f.img"), p("a.txt"), "::/a.txt")
    run("mcopy", "-i", p("f.img"), p("c.txt"), "::/dir/A long file name here.txt")
    run("mcopy", "-i", p("f.img"), p("b.txt"), "::/b.txt")
    run("mdel", "-i", p("f.img"), "::/b.txt")
    fat = open(p("f.img"), "rb").read()
    seed("quick_scan", "fat12_deleted_file", fat)
    seed("deep_scan", "fat12_deleted_file", fat)
    seed("fat_boot_sector", "fat12", fat[:512])
    seed("fat_boot_sector", "ntfs", ntfs[:512])
    # FAT32: only the boot sector (the volume is too large for a seed).
    open(p("f32.img"), "wb").truncate(34 << 20)
    run("mkfs.fat", "-F", "32", p("f32.img"))
    seed("fat_boot_sector", "fat32", open(p("f32.img"), "rb").read(512))
    reserved, fats, root_entries, spf = struct.unpack_from("<HBHxxxH", fat, 14)
    root = 512 * (reserved + fats * spf)
    spc = fat[13]
    data_start = root + root_entries * 32
    seed("fat_directory", "root", fat[root:root + 1024])
    seed("fat_directory_sector", "root_first", fat[root:root + 512])
    # The folder's first cluster: its "." and ".." pair, then the long-named file.
    dir_cluster = None
    for e in range(root, root + root_entries * 32, 32):
        if fat[e:e + 11] == b"DIR        ":
            dir_cluster = struct.unpack_from("<H", fat, e + 26)[0]
    sub = data_start + (dir_cluster - 2) * spc * 512
    seed("fat_directory", "subfolder", fat[sub:sub + spc * 512])
    seed("fat_directory_sector", "subfolder_start", fat[sub:sub + 512])
    seed("fat_directory_sector", "fat_area", fat[512:1024])

    # Partition tables: an MBR with an extended chain and a GPT, on tiny disks.
    open(p("mbr.img"), "wb").truncate(64 * 1024)
    subprocess.run(["sfdisk", "-q", p("mbr.img")], input=b"label: dos\nstart=2,size=20,type=7\nstart=24,size=80,type=5\nstart=26,size=20,type=83\nstart=50,size=20,type=b\n",
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seed("partition_table", "mbr_extended", open(p("mbr.img"), "rb").read())
    open(p("gpt.img"), "wb").truncate(48 * 1024)
    subprocess.run(["sfdisk", "-q", p("gpt.img")], input=b"label: gpt\nfirst-lba: 34\nstart=34,size=20,name=one\nstart=54,size=4\n",
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seed("partition_table", "gpt", open(p("gpt.img"), "rb").read())

    # Signatures: one small file per kind the tools make here.
    makers = {
        "jpg": ["convert", "-size", "16x16", "gradient:red-blue", p("s.jpg")],
        "png": ["convert", "-size", "16x16", "gradient:red-blue", p("s.png")],
        "gif": ["convert", "-size", "16x16", "gradient:red-blue", p("s.gif")],
        "bmp": ["convert", "-size", "8x8", "xc:green", p("s.bmp")],
        "zip": ["zip", "-q", "-j", p("s.zip"), p("c.txt")],
        "gz": ["sh", "-c", "gzip -c '%s' > '%s'" % (p("c.txt"), p("s.gz"))],
        "bz2": ["sh", "-c", "bzip2 -c '%s' > '%s'" % (p("c.txt"), p("s.bz2"))],
        "xz": ["sh", "-c", "xz -c '%s' > '%s'" % (p("c.txt"), p("s.xz"))],
        "wav": ["ffmpeg", "-loglevel", "quiet", "-f", "lavfi", "-i", "sine=d=0.05", "-ar", "8000", p("s.wav")],
    }
    for ext, command in makers.items():
        try:
            run(*command)
            seed("signatures", ext, open(p("s." + ext), "rb").read())
        except (OSError, subprocess.CalledProcessError):
            print("skipped", ext)
    seed("signatures", "fat_boot", fat[:4096])
    seed("signatures", "pdf", b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
         b"2 0 obj<</Type/Pages/Kids[]/Count 0>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n")

    # Scan logs and the saved-scan index, as a quick scan of the FAT seed writes them.
    data_dir = p("data")
    env = dict(os.environ, VELMORA_DATA_DIR=data_dir)
    subprocess.run([os.path.join(BUILD, "velmora"), "scan", p("f.img"), "--quick"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    scan_log = os.path.join(data_dir, "ScanLog")
    index = open(os.path.join(scan_log, "config"), "rb").read()
    # Two resume records: a partition's and an image's (which the quick scan does not write).
    # "@/" stands for the scan-log directory of the run (see scan_index.cpp).
    def index_record(disk, mark, first, count, image, folder):
        return (struct.pack("<iIQQ5QQQ", disk, mark, first, count, 1, 2, 3, 4, 5, 0, 0) +
                image.encode("utf-16-le").ljust(520, b"\0") + folder.encode("utf-16-le").ljust(520, b"\0"))
    seed("scan_index", "two_records", struct.pack("<Q", 2) + index_record(1, 0, 2048, 4096, "", "@/1/") +
         index_record(-1, 1, 0, 128, "/images/card.img", "@/2/"))
    seed("scan_index", "after_quick_scan", index)
    for folder, _, files in os.walk(scan_log):
        for name in files:
            if name.startswith("Fast_") and "_" not in name[len("Fast_"):].split("_", 2)[-1] and not name.endswith(("_Relation", "_DirInfo")):
                base = os.path.join(folder, name)
                log = open(base, "rb").read()
                relation = open(base + "_Relation", "rb").read()
                dirinfo = open(base + "_DirInfo", "rb").read()
                seed("scan_log", "fat12_quick", struct.pack("<HH", len(relation), len(dirinfo)) + relation + dirinfo + log)

    languages = os.path.join(HERE, "../../resources/languages")
    seed("language_ini", "config", open(os.path.join(languages, "config.ini"), "rb").read())
    seed("language_ini", "english_head", open(os.path.join(languages, "English.ini"), "rb").read()[:3000])


if __name__ == "__main__":
    main()
