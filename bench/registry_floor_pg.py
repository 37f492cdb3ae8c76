"""What a script would do to keep every report on PostgreSQL: Python's tarfile
over the archive and one psycopg2 INSERT per report (name, bytes, sha256), no
matching, one transaction for the run.
Usage: registry_floor_pg.py ARCHIVE.tar.gz URI  (prints "inserted N")"""
import hashlib
import sys
import tarfile

import psycopg2

archive, uri = sys.argv[1:3]
db = psycopg2.connect(uri)
cur = db.cursor()
cur.execute("CREATE TABLE IF NOT EXISTS report (id BIGSERIAL PRIMARY KEY, name BYTEA NOT NULL,"
            " sha256 BYTEA NOT NULL, bytes BYTEA NOT NULL)")
inserted = 0
with tarfile.open(archive, "r|gz") as tar:
    for member in tar:
        if not member.isfile():
            continue
        data = tar.extractfile(member).read()
        cur.execute("INSERT INTO report (name, sha256, bytes) VALUES (%s, %s, %s)",
                    (member.name.encode("utf-8", "surrogateescape"), hashlib.sha256(data).digest(),
                     data))
        inserted += 1
        tar.members = []
db.commit()
db.close()
print("inserted %d" % inserted)
