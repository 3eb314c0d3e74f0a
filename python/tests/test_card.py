"""Reads and writes on the simulated reader, track by track."""

import pytest

import stripedrv

from conftest import Sim

TRACK2 = "222233021234567654321=44212038899913311"
TRACK3 = "996888886543215533350201=123456700001003388999010000049120=0000000000=33333"
PAYMENT_TRACK2 = "4111111111111111=29012011234"


@pytest.mark.parametrize("tracks, expected", [
    (2, (TRACK2, None)), (3, (None, TRACK3)), (23, (TRACK2, TRACK3))])
def test_read_each_track_mode(sim: Sim, tracks: int, expected: tuple) -> None:
    card = stripedrv.Reader(sim.port).read(tracks=tracks, timeout=2)
    assert (card.track2, card.track3) == expected
    assert card.fields is None  # a 21-digit number is no payment card's


@pytest.mark.parametrize("tracks, texts, after", [
    (2, ("1234=5678", ""), ("1234=5678", TRACK3)),
    (3, ("", "99=88"), (TRACK2, "99=88")),
    (23, ("1234=5678", "99=88"), ("1234=5678", "99=88"))])
def test_write_each_track_mode_then_read_it_back(sim: Sim, tracks: int, texts: tuple,
                                                 after: tuple) -> None:
    reader = stripedrv.Reader("/dev/" + sim.port)  # a full path is taken too
    reader.write(*texts, tracks=tracks, timeout=2, verify=True)
    card = reader.read(tracks=23, timeout=2)
    assert (card.track2, card.track3) == after


def test_write_picks_the_tracks_given_a_text(sim: Sim) -> None:
    reader = stripedrv.Reader(sim.port)
    reader.write(track3="12=34", timeout=2)
    assert sim.received()[0].startswith("1B 74 41")  # ESC "t" "A": track 3 alone
    assert reader.read(timeout=2).track2 == TRACK2


def test_verify_reports_a_card_that_reads_back_otherwise(sim: Sim) -> None:
    # An empty track-2 text in mode 23 writes track 3 alone: the card keeps
    # its old track 2, and the read-back shows it.
    reader = stripedrv.Reader(sim.port)
    with pytest.raises(stripedrv.VerifyMismatch) as caught:
        reader.write(track2="", track3="55=66", tracks=23, timeout=2, verify=True)
    assert caught.value.code == 0
    assert caught.value.read == (TRACK2, "55=66")
    assert str(caught.value) == f'track 2 reads "{TRACK2}", expected ""'


def test_track2_fields_of_a_payment_card(sim_factory) -> None:  # type: ignore[no-untyped-def]
    sim = sim_factory("--no-pacing", "--track2", PAYMENT_TRACK2)
    card = stripedrv.Reader(sim.port).read(tracks=2, timeout=2)
    assert card.fields == stripedrv.Track2Fields("411111******1111", "2901", "201", True)


def test_external_port_and_high_speed(sim: Sim) -> None:
    card = stripedrv.Reader(sim.port, baud=115200, ext_port=True).read(tracks=2, timeout=2)
    assert card.track2 == TRACK2
    assert " ".join(sim.received()).startswith("1B 25 41 1B 5D")  # ESC "%A", ESC "]"


def test_info(sim: Sim) -> None:
    info = stripedrv.Reader(sim.port).info()
    assert info == stripedrv.ReaderInfo("Ver5.13.2", "A7-2506AB", "2506", "P26B")


def test_bad_arguments_are_refused_with_nothing_sent(sim: Sim) -> None:
    reader = stripedrv.Reader(sim.port)
    refused = [
        (ValueError, lambda: stripedrv.Reader("pts/0\0x")),
        (ValueError, lambda: stripedrv.Reader("")),
        (TypeError, lambda: stripedrv.Reader(b"pts/0")),  # type: ignore[arg-type]
        (ValueError, lambda: stripedrv.Reader(sim.port, baud=9601)),
        (ValueError, lambda: reader.read(tracks=4)),
        (ValueError, lambda: reader.read(tracks=1)),
        (TypeError, lambda: reader.read(tracks=True)),
        (TypeError, lambda: reader.read(tracks="23")),  # type: ignore[arg-type]
        (ValueError, lambda: reader.read(timeout=-1)),
        (ValueError, lambda: reader.read(timeout=601)),
        (TypeError, lambda: reader.read(timeout="1.5")),  # type: ignore[arg-type]
        (ValueError, lambda: reader.read(timeout=float("nan"))),
        (ValueError, lambda: reader.read(timeout=600.5)),
        (ValueError, lambda: reader.write(track2="12a4")),
        (ValueError, lambda: reader.write(track2="1234\x1b0")),
        (ValueError, lambda: reader.write(track3="١٢٣")),  # digits, but not ASCII ones
        (ValueError, lambda: reader.write(track2="é")),
        (TypeError, lambda: reader.write(track2=b"1234")),  # type: ignore[arg-type]
        (ValueError, lambda: reader.write()),
        (ValueError, lambda: reader.write(track2="1" * 195)),  # the driver's limit: -7
        (ValueError, lambda: reader.write(track2="1" * 100, track3="2" * 94)),
    ]
    for kind, call in refused:
        with pytest.raises(kind):
            call()
    with pytest.raises(stripedrv.InvalidArgument) as caught:
        reader.write(track2="1" * 195)
    assert caught.value.code == -7
    assert sim.received() == []
