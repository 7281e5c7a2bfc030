"""Plain-Python logic expressions: the reference the extension module is measured
against (and checked against in the tests).

logic_str here evaluates its text with eval, so it runs whatever the text calls:
use it on trusted text only. The extension module reads the same text form
without evaluating arbitrary code.
"""
import logging
import re

from dravix.utils.strings import decode_cli_string

__all__ = ['And', 'Or', 'Not']

logger = logging.getLogger(__name__)


class BaseLogic(object):
    """Common code of the logic operators; tests nothing itself."""

    def __init__(self, *expressions):
        self.expressions = []
        for expression in expressions:
            if isinstance(expression, str):
                expression = re.compile(expression)
            elif not callable(expression):
                raise TypeError('Expression only accepts str and callable. Got: %s (%s)'
                                % (expression, type(expression)))
            self.expressions.append(expression)

    def __call__(self):
        raise NotImplementedError

    def __str__(self):
        parts = []
        for expression in self.expressions:
            if callable(expression):
                parts.append(repr(expression))
            else:
                parts.append("'%s'" % expression.pattern)
        return '%s(%s)' % (type(self).__name__, ', '.join(parts))

    def __repr__(self):
        return str(self)

    def __eq__(self, other):
        if type(self) is not type(other):
            return False
        return self.expressions == other.expressions


def _check(expression, items):
    if isinstance(expression, BaseLogic):
        return bool(expression(*items))
    if callable(expression):
        return any([expression(item) for item in items])
    return any([expression.search(str(item)) for item in items])


class And(BaseLogic):
    """True when every check holds for one or more of the items."""

    def __call__(self, *items):
        for expression in self.expressions:
            if not _check(expression, items):
                return False
        return True


class Or(BaseLogic):
    """True when some check holds for some item."""

    def __call__(self, *items):
        for expression in self.expressions:
            if _check(expression, items):
                return True
        return False


class Not(BaseLogic):
    """True when no check holds for any item."""

    def __call__(self, *items):
        for expression in self.expressions:
            if _check(expression, items):
                return False
        return True


def logic_str(string):
    """Convert a logic-form string to objects (trusted text only: it is evaluated)."""
    string = decode_cli_string(string)
    try:
        result = eval(string, globals(), {'string': string})
        assert isinstance(result, BaseLogic)
    except Exception:
        raise ValueError('Not a properly formatted logic string: %s' % string)
    return result
