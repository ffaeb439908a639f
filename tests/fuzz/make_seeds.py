#!/usr/bin/env python3
"""Seed corpora for the fuzz programs, made at run time (nothing large is
kept in the repository).

    make_seeds.py OUT GENERATED [PYDICOM_FILES]

OUT gets dicom/, zip/ and ini/. GENERATED is an archive written by
velunor-make-archive (its DICOM files and study ZIP archives are taken);
PYDICOM_FILES is python3-pydicom's sample folder (files up to 64 KB, every
transfer syntax, broken ones among them). ZIP archives that try to leave
their folder, hold links or odd names, and configuration files of every
shape are written here.
"""
import hashlib
import os
import shutil
import sys
import zipfile

MAX_BYTES = 64 * 1024


def put(folder, data, name=None):
    os.makedirs(folder, exist_ok=True)
    name = name or hashlib.sha1(data).hexdigest()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def files_below(root):
    for base, _, names in os.walk(root):
        for n in sorted(names):
            yield os.path.join(base, n)


def dicom_seeds(out, generated, pydicom_files):
    folder = os.path.join(out, "dicom")
    count = 0
    for source in [generated, pydicom_files]:
        if not source or not os.path.isdir(source):
            continue
        for path in files_below(source):
            if path.lower().endswith((".zip", ".txt", ".json", ".gz", ".sqlite", ".sql", ".pdf")):
                continue
            if os.path.getsize(path) <= MAX_BYTES:
                with open(path, "rb") as f:
                    put(folder, f.read())
                count += 1
    return count


def zip_bytes(entries, compression=zipfile.ZIP_DEFLATED, force_zip64=False):
    """entries: (name, data, unix mode or None)"""
    import io
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name)
            info.compress_type = compression
            if mode is not None:
                info.create_system = 3
                info.external_attr = mode << 16
            if force_zip64:
                with z.open(info, "w", force_zip64=True) as f:
                    f.write(data)
            else:
                z.writestr(info, data)
    return buffer.getvalue()


def zip_seeds(out, generated):
    folder = os.path.join(out, "zip")
    count = 0
    if generated and os.path.isdir(generated):
        for path in files_below(generated):
            if path.lower().endswith(".zip") and os.path.getsize(path) <= MAX_BYTES:
                with open(path, "rb") as f:
                    put(folder, f.read())
                count += 1
    dicom = b"\0" * 128 + b"DICM" + b"\x02\x00\x10\x00UI\x14\x001.2.840.10008.1.2.1\0"
    crafted = [
        [("IM00001.dcm", dicom, None)],
        [("study/1/IM00001.dcm", dicom, None), ("study/2/IM00001.dcm", b"second", None)],
        [("dir/", b"", 0o040755), ("dir/a.dcm", b"a", 0o100644)],
        [("../escaped.dcm", b"x", None), ("ok.dcm", b"ok", None)],
        [("..\\..\\escaped.dcm", b"x", None)],
        [("/etc/absolute.dcm", b"x", None)],
        [("C:\\windows\\drive.dcm", b"x", None), ("C:drive.dcm", b"x", None)],
        [("link.dcm", b"/etc/passwd", 0o120777)],
        [("existing.dcm", b"replaced", None), ("link.dcm", b"plain now", 0o100644)],
        [("fifo.dcm", b"", 0o010644), ("device.dcm", b"", 0o020644)],
        [("same.dcm", b"first", None), ("other/same.dcm", b"second", None)],
        [("study.zip", b"the archive replaced by its own entry", None)],
        [(".", b"x", None), ("a/..", b"x", None), ("a/.", b"x", None)],
        [("name with\nnewline.dcm", b"x", None), ("tab\there.dcm", b"x", None)],
        [("M\u00fcller's Thorax.dcm", b"x", None)],
        [("x" * 251 + ".dcm", b"255 bytes", None), ("y" * 300 + ".dcm", b"too long", None)],
        [],
    ]
    for entries in crafted:
        put(folder, zip_bytes(entries))
        count += 1
    put(folder, zip_bytes([("stored.dcm", dicom, None)], zipfile.ZIP_STORED))
    put(folder, zip_bytes([("zip64.dcm", dicom, None)], force_zip64=True))
    put(folder, zip_bytes([("zeros.dcm", b"\0" * (4 << 20), None)]))   # 4 MB from a few KB
    return count + 3


def ini_seeds(out):
    folder = os.path.join(out, "ini")
    seeds = [
        "[CONFIG]\r\nServer=db.example\r\nServerType=PostgreSQL\r\nTempPath=@WORK@/staging\r\n"
        "MSGDVDInsert=Please insert a blank DVD;and confirm.\r\nMSGDVDName=Label it;DVD {NAME}\r\n"
        "DVDSpeed=4\r\nArchive=0\r\nASAPI=0\r\nAuthBurn=1\r\nImageFolder=@WORK@/iso\r\n",
        "\ufeff[config]\nserver = 'quoted' \ntemppath=\"@WORK@/q\"\n; comment=1\n# other=2\n",
        "[Other]\nServer=no\n[CONFIG]\nServer=first\nServer=second\n[CONFIG]\nServer=third\n",
        "[CONFIG]\nTempPath=@WORK@/" + "\u00fc" * 300 + "\nDVDSpeed=40000\nArchive=abc\nASAPI= -3 \n",
        b"[CONFIG]\nServer=a\0b\nTempPath=@WORK@/t\0x\n\xff\xfe\x80\nAuthBurn=1\r\r\n",
        "  [ CONFIG ]  \n  MSGDVDName  =  ;;{NAME};  \nTempPath=@WORK@/../escape\n",
        "[CONFIG]\nTempPath=@WORK@/a/b/c\nServerType=SQLite3\nServer=@WORK@/archive.sqlite",
        "no section at all\nServer=x\n",
        "[CONFIG\nServer=unclosed\n[]\n=value\n",
    ]
    for i, text in enumerate(seeds):
        data = text.encode("utf-8", "surrogateescape") if isinstance(text, str) else text
        # The first byte picks the key written back (and whether the value
        # is the last line or the beginning): vary it.
        put(folder, bytes([i * 37 % 256]) + b"\n" + data)
    return len(seeds)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    out, generated = sys.argv[1], sys.argv[2]
    pydicom_files = sys.argv[3] if len(sys.argv) > 3 else ""
    if os.path.isdir(out):
        shutil.rmtree(out)
    counts = (dicom_seeds(out, generated, pydicom_files), zip_seeds(out, generated), ini_seeds(out))
    print("seeds: %d DICOM files, %d ZIP archives, %d configuration files" % counts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
