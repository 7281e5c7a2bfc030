"""Plain-Python transcription of dravix.datastructures.branchlet, the baseline
for benchmarks and an oracle for tests.

It follows the rendering algorithm literally: every child is turned into text
with str(), split at its newlines and re-indented, so a subtree's text is
rebuilt once per level above it, and deep trees hit the interpreter's
recursion limit.
"""


class Branchlet(object):
    """A named tree node whose string form draws the tree like `tree`."""

    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        text = self.name
        if not self.children:
            return text
        for child in self.children[:-1]:
            lines = str(child).split("\n")
            text += "\n|-- " + lines[0]
            for line in lines[1:]:
                text += "\n|   " + line
        lines = str(self.children[-1]).split("\n")
        text += "\n`-- " + lines[0]
        for line in lines[1:]:
            text += "\n    " + line
        return text
