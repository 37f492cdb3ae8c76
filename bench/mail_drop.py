"""Drops an mbox's messages straight into a Maildir's new/, owned by nobody (the
throwaway Dovecot's mail user), faster than delivering each through Dovecot.
Usage: mail_drop.py MBOX MAILDIR"""
import mailbox
import os
import pwd
import sys

mbox, maildir = sys.argv[1:3]
nobody = pwd.getpwnam("nobody")
for number, message in enumerate(mailbox.mbox(mbox, create=False)):
    name = "bench.%06d" % number
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(message.as_bytes(unixfrom=False))
    os.chown(tmp, nobody.pw_uid, nobody.pw_gid)
    os.rename(tmp, os.path.join(maildir, "new", name))
