import operator

import numpy as np
import pytest

import quorvane
from quorvane import indicator_atr, indicator_macd, indicator_sma


@pytest.fixture
def arrays():
    data = np.arange(1.0, 11.0)
    return data, np.zeros_like(data)


def test_keyword_and_mixed_calls_bind_like_positional_ones(arrays):
    data, _ = arrays
    expected = np.zeros_like(data)
    indicator_sma(3, data, expected)
    for call in (
        lambda out: indicator_sma(output=out, data=data, period=3),
        lambda out: indicator_sma(3, output=out, data=data),
        lambda out: indicator_sma(3, data, output=out),
    ):
        out = np.zeros_like(data)
        assert call(out) is None
        assert out.tobytes() == expected.tobytes()


BINDING_ERRORS = [
    # (function, positional count, keywords, message)
    (indicator_sma, 2, {}, "indicator_sma() missing 1 required positional argument: 'output'"),
    (indicator_sma, 0, {}, "indicator_sma() missing 3 required positional arguments: "
                           "'period', 'data', and 'output'"),
    (indicator_sma, 0, {"data": 1}, "indicator_sma() missing 2 required positional arguments: "
                                    "'period' and 'output'"),
    (indicator_macd, 8, {}, "indicator_macd() takes 7 positional arguments but 8 were given"),
    (indicator_sma, 3, {"period": 1}, "indicator_sma() got multiple values for argument 'period'"),
    # positional count is checked before any keyword
    (indicator_sma, 4, {"foo": 1}, "indicator_sma() takes 3 positional arguments but 4 were given"),
    # keywords are checked before missing parameters
    (indicator_sma, 2, {"foo": 1}, "indicator_sma() got an unexpected keyword argument 'foo'"),
    (indicator_sma, 0, {"Period": 1}, "indicator_sma() got an unexpected keyword argument 'Period'"),
    # the first offending keyword decides
    (indicator_sma, 1, {"bar": 1, "period": 2}, "indicator_sma() got an unexpected keyword argument 'bar'"),
    (indicator_sma, 1, {"period": 2, "bar": 1}, "indicator_sma() got multiple values for argument 'period'"),
    (indicator_atr, 1, {"close": 1}, "indicator_atr() missing 3 required positional arguments: "
                                     "'high', 'low', and 'output'"),
    (indicator_macd, 0, {"fast_period": 1, "slow_period": 2, "signal_period": 3, "data": 4,
                         "macd_output": 5, "signal_output": 6},
     "indicator_macd() missing 1 required positional argument: 'hist_output'"),
]


@pytest.mark.parametrize(("function", "npos", "keywords", "message"), BINDING_ERRORS)
def test_binding_errors(function, npos, keywords, message):
    # Binding fails before any value is converted, so the values don't matter.
    with pytest.raises(TypeError) as caught:
        function(*range(npos), **keywords)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_keyword_with_lone_surrogate_is_an_unexpected_keyword(arrays):
    with pytest.raises(TypeError) as caught:
        indicator_sma(1, *arrays, **{"a\udc80b": 1})
    assert str(caught.value) == (
        "indicator_sma() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"
    )


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "period",
    [True, False, np.int64(3), np.uint32(2), Index(2), 4294967295, 2**32 - 1],
)
def test_accepted_periods(arrays, period):
    data, out = arrays
    assert indicator_sma(period, data, out) is None


def test_true_and_false_bind_as_one_and_zero(arrays):
    data, out = arrays
    indicator_sma(True, data, out)
    assert out.tolist() == data.tolist()
    indicator_sma(False, data, out)
    assert np.isnan(out).all()


@pytest.mark.parametrize("period", [4294967296, 2**64 - 1, Index(2**40)])
def test_periods_above_32_bits(arrays, period):
    with pytest.raises(OverflowError) as caught:
        indicator_sma(period, *arrays)
    assert type(caught.value) is OverflowError
    assert caught.value.args == ("out of range integral type conversion attempted",)


@pytest.mark.parametrize("period", [-1, 2**64, Index(-5)])
def test_periods_the_interpreter_refuses_keep_its_message(arrays, period):
    with pytest.raises(OverflowError) as caught:
        indicator_sma(period, *arrays)
    assert not str(caught.value).startswith("argument")


def interpreter_index_error(value):
    """The running interpreter's own message for a value that is not an
    index (the wording changes between CPython versions)."""
    with pytest.raises(TypeError) as caught:
        operator.index(value)
    return str(caught.value)


# An __index__ that returns a float is refused by the interpreter itself.
@pytest.mark.parametrize("period", [3.0, None, "3", Index(1.5)])
def test_periods_of_the_wrong_type_name_the_parameter(arrays, period):
    tail = interpreter_index_error(period)
    with pytest.raises(TypeError) as caught:
        indicator_sma(period, *arrays)
    assert type(caught.value) is TypeError
    assert caught.value.args == (f"argument 'period': {tail}",)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("position", range(3))
def test_macd_names_the_period_that_failed(position):
    names = ["fast_period", "slow_period", "signal_period"]
    periods = [1, 2, 3]
    periods[position] = 1.5
    data = np.zeros(4)
    with pytest.raises(TypeError, match=rf"^argument '{names[position]}': "):
        indicator_macd(*periods, data, data.copy(), data.copy(), data.copy())


class MyTypeError(TypeError):
    pass


def test_type_error_subclass_from_index_passes_through_as_the_same_instance(arrays):
    raised = MyTypeError("mine")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(MyTypeError) as caught:
        indicator_sma(Bad(), *arrays)
    assert caught.value is raised


def test_type_error_from_index_keeps_its_cause_and_is_not_chained(arrays):
    cause = KeyError("root")

    class Bad:
        def __index__(self):
            raise TypeError("bad index") from cause

    with pytest.raises(TypeError) as caught:
        indicator_sma(Bad(), *arrays)
    assert caught.value.args == ("argument 'period': bad index",)
    assert caught.value.__cause__ is cause
    assert caught.value.__context__ is None


def test_other_errors_from_index_pass_through_unchanged(arrays):
    raised = ValueError("nope")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(ValueError) as caught:
        indicator_sma(Bad(), *arrays)
    assert caught.value is raised


def test_period_whose_message_cannot_be_printed(arrays, monkeypatch):
    class Message:
        def __str__(self):
            raise RuntimeError("no text")

    class Bad:
        def __index__(self):
            raise TypeError(Message())

    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        indicator_sma(Bad(), *arrays)
    assert caught.value.args == ("argument 'period': <unprintable TypeError object>",)
    assert [type(r.exc_value) for r in reported] == [RuntimeError]


def test_module_stays_usable_after_errors(arrays):
    data, out = arrays
    for _ in range(3):
        with pytest.raises(TypeError):
            indicator_sma()
    assert quorvane.indicator_sma(2, data, out) is None
    assert out[1] == 1.5
