from _typeshed import ConvertibleToInt
from collections.abc import Iterable, Iterator, MutableMapping
from typing import Any, NamedTuple, SupportsIndex, TypeVar, overload

_T = TypeVar("_T")

# A path/value pair that is a plain tuple: what the validated operations accept.
_Pair = tuple[Any, Any]
# What FlatPath walks into: mappings, lists and tuples (subclasses included).
_Nested = MutableMapping[Any, Any] | list[Any] | tuple[Any, ...]

class DictItem(NamedTuple):
    path: tuple[Any, ...]
    value: Any

class IndexMarker:
    type_: type[Any]
    index: int
    def __init__(self, obj: object, index: ConvertibleToInt) -> None: ...
    def __repr__(self) -> str: ...

# Entries added by append, insert, extend and flattening are DictItem pairs;
# item assignment and a constructor given pairs store the tuples as given.
class FlatPath(list[DictItem]):
    @overload
    def __init__(self) -> None: ...
    @overload
    def __init__(self, indict: MutableMapping[Any, Any], /) -> None: ...
    @overload
    def __init__(self, pairs: Iterable[_Pair], /) -> None: ...
    @overload
    @staticmethod
    def __flatten__(indict: _Nested, path: tuple[Any, ...] | None = None) -> Iterator[DictItem]: ...
    @overload
    @staticmethod
    def __flatten__(indict: _T, path: tuple[Any, ...] | None = None) -> Iterator[DictItem | _T]: ...
    @overload
    def __setitem__(self, index: SupportsIndex, item: _Pair) -> None: ...
    @overload
    def __setitem__(self, index: slice, item: Iterable[_Pair]) -> None: ...
    def append(self, item: _Pair) -> None: ...
    def extend(self, items: Iterable[_Pair]) -> None: ...
    def insert(self, index: SupportsIndex, item: _Pair) -> None: ...
    def reconstruct(self) -> dict[Any, Any]: ...
