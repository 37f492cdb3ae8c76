"""What a script would do to keep every report: Python's tarfile over the
archive and one SQLite INSERT per report (name, bytes, sha256), no matching,
one transaction for the run, WAL mode.
Usage: registry_floor.py ARCHIVE.tar.gz DB  (prints "inserted N")"""
import hashlib
import sqlite3
import sys
import tarfile

archive, path = sys.argv[1:3]
db = sqlite3.connect(path, isolation_level=None)
db.execute("PRAGMA journal_mode=WAL")
db.execute("CREATE TABLE IF NOT EXISTS report (id INTEGER PRIMARY KEY, name BLOB NOT NULL,"
           " sha256 BLOB NOT NULL, bytes BLOB NOT NULL)")
inserted = 0
db.execute("BEGIN")
# "r|gz": a stream, as the archive arrives; no index of members kept.
with tarfile.open(archive, "r|gz") as tar:
    for member in tar:
        if not member.isfile():
            continue
        data = tar.extractfile(member).read()
        db.execute("INSERT INTO report (name, sha256, bytes) VALUES (?, ?, ?)",
                   (member.name.encode("utf-8", "surrogateescape"), hashlib.sha256(data).digest(),
                    data))
        inserted += 1
        # A stream still lists every member it has read: 1M of them is 500 MB.
        tar.members = []
db.execute("COMMIT")
db.close()
print("inserted %d" % inserted)
