import os

import pytest

from dravix.utils.strings import decode_cli_string, typecast_str


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", 0),
        ("42", 42),
        ("-7", -7),
        ("+7", 7),
        ("123456789012345678901234567890", 123456789012345678901234567890),
        ("1.5", 1.5),
        ("-0.25", -0.25),
        ("1e+16", 1e16),
        ("true", True),
        ("TRUE", True),
        ("False", False),
        ("none", None),
        ("NULL", None),
        ("Null", None),
    ],
)
def test_text_that_spells_a_value_is_converted(text, expected):
    result = typecast_str(text)
    assert result == expected
    assert type(result) is type(expected)


@pytest.mark.parametrize(
    "text",
    ["007", "-0.0x", "1.10", "1e3", " 5", "5 ", "1_000", "nan", "inf", "", "yes", "truee", "٣", "1.5\n", "+"],
)
def test_other_text_is_returned_unchanged(text):
    assert typecast_str(text) is text


class Text(str):
    pass


@pytest.mark.parametrize("value", [5, 1.5, None, b"5", [1], {"a": "1"}, Text("5"), object()])
def test_non_str_values_are_the_same_object(value):
    assert typecast_str(value) is value


def test_decode_cli_string():
    text = "And('a')"
    assert decode_cli_string(text) is text
    assert decode_cli_string(b"And('\xc3\xa9')") == os.fsdecode(b"And('\xc3\xa9')")
    assert decode_cli_string(bytearray(b"\xff")) == os.fsdecode(b"\xff")
    with pytest.raises(TypeError, match="must be str, bytes or bytearray, not int"):
        decode_cli_string(5)


@pytest.mark.parametrize("func", [typecast_str, decode_cli_string])
def test_docstrings_and_argument_errors(func):
    assert func.__doc__
    with pytest.raises(TypeError):
        func()
    with pytest.raises(TypeError):
        func("a", "b")
