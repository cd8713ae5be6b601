#!/usr/bin/env python3
"""reproducible-zip.py ZIP EPOCH: writes ZIP again so that its bytes follow from its contents and
EPOCH alone: entries in name order, every entry dated EPOCH (UTC), the Unix modes kept, and no
owners, access times or other extra fields.

CPack's own zip takes its entries in the order the file system lists them, which differs between
file systems and machines, and records the owner's user and group ids, which differ between the
people who build it; its times do follow SOURCE_DATE_EPOCH."""
import os
import sys
import time
import zipfile


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: reproducible-zip.py ZIP EPOCH")
    path, epoch = sys.argv[1], int(sys.argv[2])
    # A zip's own date starts in 1980 and counts seconds in twos.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    entries.sort(key=lambda entry: entry[0].filename)
    names = [info.filename for info, _ in entries]
    if len(set(names)) != len(names):
        sys.exit(f"reproducible-zip.py: {path} holds an entry twice")

    temporary = path + ".tmp"
    with zipfile.ZipFile(temporary, "w") as target:
        for info, data in entries:
            entry = zipfile.ZipInfo(info.filename, date_time)
            entry.create_system = 3  # Unix, so that unzip restores the modes
            mode = info.external_attr >> 16
            directory = info.is_dir()
            entry.external_attr = (mode << 16) | (0x10 if directory else 0)
            entry.compress_type = zipfile.ZIP_STORED if directory else zipfile.ZIP_DEFLATED
            target.writestr(entry, data, compresslevel=9)
    os.replace(temporary, path)


if __name__ == "__main__":
    main()
