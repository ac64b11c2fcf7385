"""Requests a stranger may write the files' server's log with: `--posts`
POSTs of a 2 KiB body to a stored file's link, from `--addresses` addresses
of their own, through the front of one host. Prints the answers, how many
bytes nginx's error log grew and its mode.

    .venv/bin/python bench/file_posts.py                  # 1,000 POSTs from 20 addresses
"""

import argparse
import collections
import http.client
import os
import shutil
import tempfile
import threading
import time
from pathlib import Path

import launch
import load
from fleet import Fleet

from support.installation import install
from support.processes import free_port
from testing import attacks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--posts", type=int, default=1000)
    parser.add_argument("--addresses", type=int, default=20)
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="dorvane-posts-"))
    work.chmod(0o711)  # started as root, the fleet's nginx reads the store as nobody
    site = install(work / "site")
    standin = load.start_standin(work)
    statuses = collections.Counter()
    try:
        env = dict(os.environ, **launch.standin_environ(standin), WEBAPP_DORVANE_HOME=str(site))
        with Fleet(work / "fleet", 1, port=free_port(), env=env) as fleet:
            log = fleet.run / "error.log"
            before = log.stat().st_size if log.exists() else 0

            def post(source, count):
                for _ in range(count):
                    connection = http.client.HTTPConnection(
                        "127.0.0.1", fleet.port, timeout=10, source_address=(source, 0)
                    )
                    try:
                        connection.request("POST", "/output/tts/a.wav", body=b"x" * 2048)
                        statuses[connection.getresponse().status] += 1
                    except OSError as e:
                        statuses[type(e).__name__] += 1
                    finally:
                        connection.close()

            each = args.posts // args.addresses
            threads = [
                threading.Thread(target=post, args=(attacks.flood_address(600 + i), each))
                for i in range(args.addresses)
            ]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            time.sleep(2)  # nginx writes its log as it goes
            grew = log.stat().st_size - before if log.exists() else 0
            mode = oct(log.stat().st_mode & 0o777) if log.exists() else None
    finally:
        standin.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(f"\nposts: {sum(statuses.values())} to /output/ from {args.addresses} addresses")
    print(f"- answers: {dict(statuses)}")
    print(f"- nginx's error log grew {grew} bytes; its mode {mode}")


if __name__ == "__main__":
    main()
