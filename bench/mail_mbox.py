"""Writes an mbox of N messages, each from its own sender with one report
attached (base64, as mail programs send a file), reports from N / 4 machines
(each machine's later reports with another processor count, so all are new).
Usage: mail_mbox.py OUT.mbox N"""
import base64
import sys

out, count = sys.argv[1], int(sys.argv[2])
machines = max(1, count // 4)
with open(out, "w", newline="") as mbox:
    for i in range(count):
        m = i % machines
        report = ("<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>host-%d</MachineName>"
                  "<ProcessorCount>%d</ProcessorCount><MacAddresses><M0>00:1B:21:%02X:%02X:%02X</M0>"
                  "</MacAddresses><BiosSerial>BS%06d</BiosSerial><MotherboardSerial>MB%06d"
                  "</MotherboardSerial></Node>" % (m, 2 + i // machines, m >> 16, (m >> 8) & 255,
                                                   m & 255, m, m))
        attached = base64.encodebytes(report.encode()).decode()
        mbox.write(
            "From user%d@example.com Mon Jan  1 10:00:00 2024\n"
            "From: User %d <user%d@example.com>\nTo: desk@vendor.example\n"
            "Subject: Fwd: system report %d\nDate: Mon, 01 Jan 2024 10:00:00 +0000\n"
            "Message-ID: <%d.report@example.com>\nMIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=\"part%d\"\n\n"
            "--part%d\nContent-Type: text/plain; charset=utf-8\n\nHere is the file you asked for.\n\n"
            "--part%d\nContent-Type: text/plain; name=\"ZAVRO_system_info.txt\"\n"
            "Content-Disposition: attachment; filename=\"ZAVRO_system_info.txt\"\n"
            "Content-Transfer-Encoding: base64\n\n%s--part%d--\n\n"
            % (i, i, i, i, i, i, i, i, attached, i))
