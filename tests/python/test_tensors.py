import math

import pytest

from velk_trust import T3Tensor, V3Tensor


class TestConstruction:
    def test_defaults_and_neutral(self):
        for t in (T3Tensor(), T3Tensor.neutral(), T3Tensor().neutral()):
            assert (t.talent, t.training, t.temperament) == (0.5, 0.5, 0.5)
            assert t.average() == 0.5
            assert t.level() == "medium"
        assert V3Tensor.neutral().average() == 0.5

    def test_clamping(self):
        t = T3Tensor(2, -1, 0.5)
        assert (t.talent, t.training, t.temperament) == (1.0, 0.0, 0.5)
        v = V3Tensor(-5, 7, -0.0)
        assert (v.valuation, v.veracity) == (0.0, 1.0)
        assert math.copysign(1, v.validity) == -1

    def test_keywords(self):
        v = V3Tensor(validity=0.1, valuation=0.2)
        assert (v.valuation, v.veracity, v.validity) == (0.2, 0.5, 0.1)


class TestAttributes:
    def test_assignment_clamps(self):
        t = T3Tensor()
        t.talent = 1.7
        assert t.talent == 1.0
        t.training = -3
        assert t.training == 0.0
        t.temperament = float("nan")
        assert math.isnan(t.temperament)
        assert t.level() == "minimal"
        assert repr(t) == "T3Tensor(talent=1.000, training=0.000, temperament=NaN)"

    @pytest.mark.parametrize("cls, name", [(T3Tensor, "training"), (V3Tensor, "veracity")])
    def test_delete_is_refused(self, cls, name):
        t = cls()
        with pytest.raises(AttributeError) as e:
            delattr(t, name)
        assert str(e.value) == "can't delete attribute"
        assert getattr(t, name) == 0.5

    def test_failed_assignment_leaves_value(self):
        t = T3Tensor()
        with pytest.raises(TypeError):
            t.talent = "x"
        assert t.talent == 0.5


class TestArithmetic:
    @pytest.mark.parametrize(
        "values, average, level",
        [
            ((0.6, 0.6, 0.6), 0.6, "medium-high"),
            ((0.0, 0.6, 0.0), 0.19999999999999998, "minimal"),
            ((1.0, 0.4, 1.0), 0.7999999999999999, "medium-high"),
            ((0.8, 0.8, 0.8), 0.8000000000000002, "high"),
            ((0.3, 0.3, 0.3), 0.3, "low"),
        ],
    )
    def test_levels(self, values, average, level):
        t = T3Tensor(*values)
        assert t.average() == average
        assert t.level() == level

    def test_update_from_outcome(self):
        t = T3Tensor()
        assert t.update_from_outcome(True, 1) is None
        assert (t.talent, t.training, t.temperament) == (0.5075, 0.525, 0.5125)
        assert repr(t) == "T3Tensor(talent=0.507, training=0.525, temperament=0.512)"
        f = T3Tensor()
        f.update_from_outcome(success=False, magnitude=1.0)
        assert (f.talent, f.training, f.temperament) == (0.485, 0.45, 0.475)

    def test_apply_decay(self):
        t = T3Tensor()
        assert t.apply_decay(0, 0.5) is False
        assert t.average() == 0.5
        assert t.apply_decay(days_inactive=10, decay_rate=0.01) is True
        assert (t.talent, t.training, t.temperament) == (
            0.47997203292675206, 0.48087641500176087, 0.47725888670172567)
        hot = T3Tensor(1, 1, 1)
        hot.apply_decay(2000, -0.5)
        assert repr(hot) == "T3Tensor(talent=inf, training=inf, temperament=inf)"


@pytest.mark.parametrize(
    "value, text",
    [(0.5075, "0.507"), (0.0625, "0.062"), (0.1875, "0.188"), (-0.0, "-0.000"), (1, "1.000"), (0.0005, "0.001")],
)
def test_repr_rounds_half_to_even_from_the_exact_value(value, text):
    t = T3Tensor()
    t.talent = value
    assert repr(t) == f"T3Tensor(talent={text}, training=0.500, temperament=0.500)"
    assert str(V3Tensor(0.25, 1, 0)) == "V3Tensor(valuation=0.250, veracity=1.000, validity=0.000)"
