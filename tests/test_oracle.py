"""Known answers for the test oracle itself, so the differential tests rest on
something. (Its number text is checked beside the module's, in test_repr.py.)"""

import math
import struct

import pytest

from oracle import Lattice, StdRng, Stop, chacha_block

ZERO_SEED = bytes(32)


def test_chacha12_zero_key_keystream():
    block = struct.pack("<16I", *chacha_block([0] * 8, 0))
    assert block[:16].hex() == "9bf49a6a0755f953811fce125f2683d5"


def test_chacha20_rfc8439_block():
    # RFC 8439 2.3.2; its counter/nonce words map onto a 64-bit counter and stream
    key = struct.unpack("<8I", bytes(range(32)))
    words = chacha_block(key, 0x0900000000000001, 0x4A000000, double_rounds=10)
    assert words == [
        0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3,
        0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
        0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9,
        0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
    ]


def test_buffer_refills_lazily_and_splits_wide_draw_at_63():
    rng = StdRng(ZERO_SEED)
    assert rng.index == 64 and rng.refills == 0
    stream = [w for c in range(8) for w in chacha_block([0] * 8, c)]
    assert [rng.word() for _ in range(63)] == stream[:63]
    assert rng.wide() == stream[63] | stream[64] << 32
    assert (rng.index, rng.refills) == (1, 2)
    rng.index = 64
    rng.word()
    assert rng.refills == 3 and rng.index == 1  # a whole buffer is skipped only on purpose


def scripted(words, index=0):
    rng = StdRng(ZERO_SEED)
    rng.buf = list(words) + [0] * (64 - len(words))
    rng.index = index
    return rng


def test_index_draw_correction_rules():
    # lo equal to the threshold 2^32 - n: no correction word
    rng = scripted([0xFFFFFFFF, 7])
    assert rng.random_range(3) == 2 and rng.index == 1
    # lo above the threshold: the second word decides whether hi rounds up
    w = (2**33 - 2) // 3  # w*3 = 2^33 - 2: hi 1, lo 2^32 - 2
    assert scripted([w, 0]).random_range(3) == 1
    rng = scripted([w, 0xFFFFFFFF])
    assert rng.random_range(3) == 2 and rng.index == 2
    # n = 1 never corrects
    assert scripted([0xFFFFFFFF]).random_range(1) == 0
    # n = 2^32 uses wide draws
    rng = scripted([5, 9])
    assert rng.random_range(2**32) == 9 and rng.index == 2
    rng = scripted([5])
    with pytest.raises(Stop, match="^cannot sample empty range$"):
        rng.random_range(0)
    assert rng.index == 0


def test_unit_and_coin_draws():
    assert scripted([0x7FF, 0]).unit() == 0.0
    assert scripted([0xFFFFFFFF, 0xFFFFFFFF]).unit() == 1 - 2**-53
    assert scripted([0xFFFFFFFF, 0x7FFFFFFF]).coin() is True
    assert scripted([0, 0x80000000]).coin() is False


def test_construction_draws_and_geometry():
    for w, h in [(3, 3), (4, 8), (6, 6), (1, 1), (0, 7), (33, 1)]:
        lat = Lattice(w, h, 2.0, 0.0, ZERO_SEED)
        n = w * h
        assert lat.rng.index == (64 if n == 0 else 2 * ((n - 1) % 32 + 1))
    lat = Lattice(3, 3, 2.0, 0.0, ZERO_SEED)
    assert [lat.get_nearest_neighbors(k) for k in (0, 4, 8)] == [
        [2, 6, 1, 3], [3, 1, 5, 7], [7, 5, 6, 2]]
    assert Lattice(4, 2, 1.0, 0.0, ZERO_SEED).get_nearest_neighbors(5) == [4, 1, 6, 1]
    assert Lattice(1, 3, 1.0, 0.0, ZERO_SEED).get_nearest_neighbors(1) == [1, 0, 1, 2]
    assert Lattice(3, 2, 1.0, 0.0, ZERO_SEED).flat_to_idx(5) == [1, 2]
    with pytest.raises(Stop, match="^capacity overflow$"):
        Lattice(2**32, 2**31, 1.0, 0.0, ZERO_SEED)


# the first counter seed whose 3x3 lattice is all +1 and whose next index draw is 4
WOLFF_3X3_SEED = (5976).to_bytes(32, "little")


def test_wolff_expansion_order_3x3():
    lat = Lattice(3, 3, 0.0, 0.0, WOLFF_3X3_SEED)
    assert lat.sites == [1] * 9
    lat.wolff_step()
    assert lat.last_cluster == [4, 3, 1, 5, 7, 6, 8, 2, 0]
    assert lat.sites == [-1] * 9
    assert lat.rng.index == 18 + 1 + 2 * 8


def test_energy_small_cases():
    for s_wanted in (1, -1):
        for i in range(64):
            lat = Lattice(1, 1, 1.0, 0.25, i.to_bytes(32, "little"))
            if lat.sites == [s_wanted]:
                break
        s = s_wanted
        assert lat.get_energy() == -2 - s * 0.25
        assert lat.get_energy_diff_from_flip(0) == 8 + 2 * s * 0.25
    empty = Lattice(0, 3, 1.0, 0.0, ZERO_SEED)
    assert struct.pack("<d", empty.get_total_magnetization()) == struct.pack("<d", -0.0)
    assert math.isnan(empty.average_magnetization())
    with pytest.raises(Stop, match="^index out of bounds: the len is 0 but the index is 0$"):
        empty.get_energy_diff_from_flip(0)
