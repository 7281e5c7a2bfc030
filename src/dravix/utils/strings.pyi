from typing import TypeVar, overload

_T = TypeVar("_T")

# A str may come back as the int, float, bool or None it spells, or as itself;
# every other value comes back unchanged, as the very same object.
@overload
def typecast_str(value: str, /) -> str | int | float | bool | None: ...
@overload
def typecast_str(value: _T, /) -> _T: ...
def decode_cli_string(string: str | bytes | bytearray, /) -> str: ...
