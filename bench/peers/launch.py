#!/usr/bin/env python3
"""A simple launcher in Python: start node, read its lines until the loopback URL, open
it, and wait. Prints "READY <url>" when it has seen the URL.

    launch.py NODE ENTRY_SCRIPT
"""
import os
import subprocess
import sys
import webbrowser
from urllib.parse import urlsplit


def main():
    child = subprocess.Popen([sys.argv[1], sys.argv[2]], stdout=subprocess.PIPE)
    for raw in child.stdout:
        line = raw.decode("utf-8", "replace").strip()
        parts = urlsplit(line)
        if parts.scheme == "http" and parts.hostname == "127.0.0.1":
            print("READY", line, flush=True)
            if os.environ.get("ZOLVEN_LAUNCHER_SUPPRESS_BROWSER") != "1":
                webbrowser.open(line)
    return child.wait()


if __name__ == "__main__":
    sys.exit(main())
