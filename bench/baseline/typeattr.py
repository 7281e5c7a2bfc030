"""Plain-Python transcription of dravix.datastructures.typeattr, the baseline
for benchmarks."""


class TypeAttrDescriptor(object):
    """A descriptor giving classes properties of their own; use it as a decorator."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


typeattr = TypeAttrDescriptor
