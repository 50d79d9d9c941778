"""How long another Python thread stalls while a store call waits for the directory lock or lists a
directory: a 10 ms ticker thread runs beside the call and the longest gap between its ticks is
printed, with how long after a SIGINT the interrupted call returned.

    python bench/ticker_gap.py [--records 10000] [--wait 1.5] [--dir /dev/shm]
"""
import argparse
import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import velk_trust


class Ticker:
    """A thread that sleeps 10 ms at a time and records the longest gap between two ticks."""

    def __enter__(self):
        self.longest, self.stop = 0.0, threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()
        time.sleep(0.05)
        return self

    def run(self):
        last = time.monotonic()
        while not self.stop.is_set():
            time.sleep(0.01)
            now = time.monotonic()
            self.longest = max(self.longest, now - last)
            last = now

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def lock_held_elsewhere(directory, seconds):
    """A child process that holds the directory lock for `seconds`."""
    child = subprocess.Popen([sys.executable, "-c", f"""
import fcntl, os, sys, time
fd = os.open({directory!r}, os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("held", flush=True)
time.sleep({seconds})
"""], stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    return child


def interrupt_latency(call, delay):
    """Seconds from a SIGINT sent `delay` seconds into call() until call() ends with KeyboardInterrupt."""
    sent = []
    timer = threading.Timer(delay, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        return time.monotonic() - sent[0]
    finally:
        timer.cancel()
    return float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--wait", type=float, default=1.5)
    parser.add_argument("--dir", default=None, help="parent of the temporary record directory")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        store = velk_trust.TrustStore(directory)
        for k in range(args.records):
            store.get(f"mcp:tool-{k}")

        child = lock_held_elsewhere(directory, args.wait)
        with Ticker() as ticker:
            start = time.monotonic()
            store.update("session:a", True, 0.5)
            waited = time.monotonic() - start
        child.wait()
        print(f"lock wait of {waited:.2f} s: longest ticker gap {ticker.longest * 1000:.1f} ms")

        for name, call in [("list_entities()", store.list_entities),
                           ("get_by_type('mcp')", lambda: store.get_by_type("mcp"))]:
            with Ticker() as ticker:
                start = time.monotonic()
                call()
                took = time.monotonic() - start
            print(f"{name} over {args.records} records, {took * 1000:.0f} ms: "
                  f"longest ticker gap {ticker.longest * 1000:.1f} ms")

        child = lock_held_elsewhere(directory, 5)
        latency = interrupt_latency(lambda: store.update("session:a", True, 0.5), 0.3)
        child.kill()
        child.wait()
        print(f"SIGINT during a lock wait: KeyboardInterrupt after {latency * 1000:.1f} ms")
        latency = interrupt_latency(lambda: [store.get_by_type("mcp") for _ in range(100)], 0.3)
        print(f"SIGINT during listings: KeyboardInterrupt after {latency * 1000:.1f} ms")


if __name__ == "__main__":
    main()
