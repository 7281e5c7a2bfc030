import logging
import re
from collections.abc import Callable
from typing import Any, ClassVar

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

# A check: a regular expression searched in str() of each item, or a callable
# called with each item (an expression object is called with all the items).
_Check = str | BaseLogic | Callable[[Any], object]

class BaseLogic:
    expressions: list[re.Pattern[str] | BaseLogic | Callable[[Any], object]]
    def __init__(self, *expressions: _Check) -> None: ...
    def __call__(self, *items: object) -> bool: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class And(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Or(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Not(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

def logic_str(string: str | bytes | bytearray) -> BaseLogic: ...
