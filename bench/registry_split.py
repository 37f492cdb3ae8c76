"""Deals an archive's members alternately into two archives: two writers whose
reports come from the same machines, as intake services would send them.
Usage: registry_split.py ARCHIVE.tar.gz FIRST.tar.gz SECOND.tar.gz"""
import sys
import tarfile

source, first, second = sys.argv[1:4]
with tarfile.open(source, "r|gz") as tar, tarfile.open(first, "w:gz", compresslevel=1) as a, \
        tarfile.open(second, "w:gz", compresslevel=1) as b:
    n = 0
    for member in tar:
        if member.isfile():
            (a if n % 2 == 0 else b).addfile(member, tar.extractfile(member))
            n += 1
        tar.members = []
