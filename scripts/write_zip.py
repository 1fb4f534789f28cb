#!/usr/bin/env python3
"""Writes a zip archive of a directory that depends on nothing but the names and contents of its
files, so that the same files always give the same bytes:

    write_zip.py OUTPUT DIRECTORY

DIRECTORY is the archive's top folder. Entries come in the byte order of their names, folders
before what they hold; every entry is dated SOURCE_DATE_EPOCH (in UTC, and no earlier than
1980-01-01, the first date a zip can hold) and carries no owner and no extra fields; files are
mode 0755 if executable here and 0644 otherwise. OUTPUT is replaced only when complete."""

import os
import stat
import sys
import tempfile
import time
import zipfile

FIRST_ZIP_DATE = 315532800  # 1980-01-01 00:00:00 UTC
UNIX_SYSTEM = 3  # the "version made by" host that gives the external attributes Unix modes


def entry_date():
    """The date of every entry: SOURCE_DATE_EPOCH, as a zip holds dates (two-second steps)."""
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if text is None or not text.isdigit():
        sys.exit("write_zip.py: SOURCE_DATE_EPOCH must be set to a number of seconds")
    return time.gmtime(max(int(text), FIRST_ZIP_DATE))[:6]


def entries(directory):
    """(name in the archive, path on disk) for the directory, its folders and its files."""
    top = os.path.basename(os.path.normpath(directory))
    found = [(top + "/", directory)]
    for folder, folders, files in os.walk(directory):
        inside = os.path.relpath(folder, directory)
        prefix = top + "/" if inside == "." else top + "/" + inside.replace(os.sep, "/") + "/"
        found += [(prefix + name + "/", os.path.join(folder, name)) for name in folders]
        found += [(prefix + name, os.path.join(folder, name)) for name in files]
    return sorted(found, key=lambda entry: entry[0].encode())


def add(archive, name, path, date):
    """Adds one entry, its metadata fixed."""
    info = zipfile.ZipInfo(name, date)
    info.create_system = UNIX_SYSTEM
    if name.endswith("/"):
        info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10  # 0x10: the MS-DOS folder bit
        archive.writestr(info, b"")
        return
    mode = 0o755 if os.stat(path).st_mode & stat.S_IXUSR else 0o644
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    with open(path, "rb") as source:
        archive.writestr(info, source.read(), compresslevel=9)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: write_zip.py OUTPUT DIRECTORY")
    output, directory = sys.argv[1], sys.argv[2]
    date = entry_date()
    handle, partial = tempfile.mkstemp(prefix=os.path.basename(output) + ".",
                                       dir=os.path.dirname(os.path.abspath(output)))
    try:
        with os.fdopen(handle, "wb") as file, zipfile.ZipFile(file, "w") as archive:
            for name, path in entries(directory):
                add(archive, name, path, date)
        os.chmod(partial, 0o644)
        os.replace(partial, output)
    except BaseException:
        os.unlink(partial)
        raise


if __name__ == "__main__":
    main()
