from tarnu import timeconv


def test_rounding_halves_away_from_zero():
    assert timeconv.d2l(0.0025) == 3
    assert timeconv.d2l(-0.0025) == -3
    assert timeconv.d2l(1.0005) == 1001
