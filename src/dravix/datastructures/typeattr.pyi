from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

# A read-only attribute computed from the class it is read through, on the class
# and on its instances alike: func is called with that class on every read.
class TypeAttrDescriptor(Generic[_T]):
    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    def __get__(self, obj: object, owner: type[Any] | None) -> _T: ...

typeattr = TypeAttrDescriptor
