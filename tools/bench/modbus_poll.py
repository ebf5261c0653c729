#!/usr/bin/python3
"""Polls holding registers through a bridge with pymodbus's RTU framer over
TCP, as a setup program reads a device's values; prints "mean_ms X", the
mean milliseconds of a request. Exits with 1 when a request fails or reads
back other values than were written first."""

import argparse
import random
import sys
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.framer.rtu_framer import ModbusRtuFramer


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--address", type=int, default=100)
    parser.add_argument("--registers", type=int, default=10)
    parser.add_argument("--unit", type=int, default=1)
    args = parser.parse_args()

    # No retries: a lost or garbled reply must show, not be papered over.
    client = ModbusTcpClient("127.0.0.1", port=args.port, framer=ModbusRtuFramer, timeout=2, retries=0)
    if not client.connect():
        sys.exit("modbus_poll: cannot connect")
    # Values of our own, so that a reply from the wrong registers is caught.
    values = [random.randrange(0x10000) for _ in range(args.registers)]
    written = client.write_registers(args.address, values, slave=args.unit)
    if written.isError():
        sys.exit(f"modbus_poll: write: {written}")
    times = []
    for index in range(args.count):
        start = time.perf_counter()
        reply = client.read_holding_registers(args.address, args.registers, slave=args.unit)
        times.append((time.perf_counter() - start) * 1000)
        if reply.isError() or reply.registers != values:
            sys.exit(f"modbus_poll: read {index}: {reply}")
    client.close()
    print(f"mean_ms {sum(times) / len(times):.3f}")


if __name__ == "__main__":
    main()
