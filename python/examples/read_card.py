#!/usr/bin/python3
"""Reads one card and prints its tracks; Ctrl-C stops the wait.

    read_card.py PORT [TIMEOUT]      e.g. read_card.py ttyUSB0 20
"""

import asyncio
import sys

import stripedrv


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    reader = stripedrv.Reader(argv[1], baud=9600)
    timeout = int(argv[2]) if len(argv) > 2 else 20
    try:
        card = reader.read(tracks=23, timeout=timeout)
    except stripedrv.ReaderBusy as error:
        print(f"busy: {error}", file=sys.stderr)
        return 1
    except stripedrv.StripeError as error:
        print(f"read failed: {error} [code {error.code}]", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    print("track2:", card.track2)
    print("track3:", card.track3)
    if card.fields is not None:
        print("account:", card.fields.pan_masked, "expires:", card.fields.expiry)
    return 0


async def read_with_deadline(reader: stripedrv.Reader, seconds: float) -> stripedrv.Card | None:
    """The asyncio way: give up (and cancel the read) after ``seconds``."""
    try:
        return await asyncio.wait_for(reader.read_async(timeout=20), seconds)
    except asyncio.TimeoutError:
        return None


if __name__ == "__main__":
    sys.exit(main(sys.argv))
