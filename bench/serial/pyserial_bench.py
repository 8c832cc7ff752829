"""The same measurements as serial_bench, made with pySerial, for comparison.

Run by serial_bench, once for each round of each measurement; prints one line of results.
  throughput <slave> <bytes>: prints "ready", then reads <bytes> from the port; prints the
      CLOCK_MONOTONIC time when the last byte was in hand.
  latency <count> <size>: on a pseudo-terminal of its own, writes <size> bytes to the master
      and reads them through pySerial, <count> times; prints each latency in microseconds.
  idle <seconds>: on a pseudo-terminal of its own, waits in a blocking read with nothing
      arriving; prints the CPU seconds used.
"""
import os
import sys
import time

import serial


def throughput(path, total):
    port = serial.Serial(path, 57600, timeout=None)
    print("ready", flush=True)
    got = 0
    while got < total:
        data = port.read(max(1, min(port.in_waiting, total - got)))
        got += len(data)
    print("%.9f" % time.monotonic(), flush=True)


def latency(count, size):
    master, slave = os.openpty()
    port = serial.Serial(os.ttyname(slave), 57600, timeout=None)
    message = b"x" * size
    results = []
    for _ in range(count):
        start = time.monotonic()
        os.write(master, message)
        got = 0
        while got < size:
            got += len(port.read(size - got))
        results.append((time.monotonic() - start) * 1e6)
    print(" ".join("%.1f" % r for r in results), flush=True)


def idle(seconds):
    master, slave = os.openpty()
    port = serial.Serial(os.ttyname(slave), 57600, timeout=seconds)
    start = time.process_time()
    port.read(1)
    print("%.6f" % (time.process_time() - start), flush=True)


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "throughput":
        throughput(sys.argv[2], int(sys.argv[3]))
    elif mode == "latency":
        latency(int(sys.argv[2]), int(sys.argv[3]))
    else:
        idle(float(sys.argv[2]))
