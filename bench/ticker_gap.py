"""How store calls wait: how long another Python thread stalls while a store call waits for the
directory lock or lists a directory (a 10 ms ticker thread runs beside the call and the longest gap
between its ticks is printed), how long after a SIGINT the interrupted call returned, and how long
updates made every 10 ms wait for the lock while another process updates in a tight loop (targets:
99th percentile at most 10 ms, longest at most 50 ms).

    python bench/ticker_gap.py [--records 10000] [--wait 1.5] [--fair 1000] [--dir /dev/shm]
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


def fair_waits(store, directory, count):
    """How long each of `count` updates, one every 10 ms, took while another process updates one
    record in a tight loop: sorted, in seconds."""
    child = subprocess.Popen([sys.executable, "-c", """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
print("looping", flush=True)
while True:
    store.update("mcp:busy", True, 0.5)
""", directory], stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    time.sleep(0.1)
    waits = []
    try:
        for _ in range(count):
            time.sleep(0.01)
            start = time.monotonic()
            store.update("mcp:periodic", True, 0.5)
            waits.append(time.monotonic() - start)
    finally:
        child.kill()
        child.wait()
    return sorted(waits)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--wait", type=float, default=1.5)
    parser.add_argument("--fair", type=int, default=1000, help="updates timed beside a tight-loop updater")
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

        waits = fair_waits(store, directory, args.fair)
        def at(q):
            return waits[min(len(waits) - 1, int(q * len(waits)))] * 1000
        print(f"{len(waits)} updates every 10 ms beside a process updating in a tight loop: wait median "
              f"{at(0.5):.2f} ms, 99th percentile {at(0.99):.2f} ms, longest {waits[-1] * 1000:.2f} ms "
              "(targets 10 ms and 50 ms)")


if __name__ == "__main__":
    main()
