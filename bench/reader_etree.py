"""What an ordinary receiver does: Python's xml.etree.ElementTree over each file.
A file counts as read when it parses and its root holds all six elements.
Usage: reader_etree.py DIR  (prints "read N of M")"""
import os
import sys
import xml.etree.ElementTree as ET

KEYS = ("Cpuid", "MachineName", "ProcessorCount", "MacAddresses", "BiosSerial", "MotherboardSerial")

directory = sys.argv[1]
names = sorted(os.listdir(directory))
read = 0
for name in names:
    try:
        root = ET.parse(os.path.join(directory, name)).getroot()
    except ET.ParseError:
        continue
    if root.tag == "Node" and all(root.find(k) is not None for k in KEYS):
        read += 1
print("read %d of %d" % (read, len(names)))
