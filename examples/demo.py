"""A nested document as a flat list of (path, value) pairs, and back.

Loads the service catalogue shipped beside this script, lists every leaf with
the path that reaches it, then rebuilds the document from those pairs alone.

    python examples/demo.py
"""

import json
import pathlib

from dravix.datastructures.flatpath import FlatPath, IndexMarker

HERE = pathlib.Path(__file__).resolve().parent


def load_catalogue():
    with open(HERE / "document.json", encoding="utf-8") as f:
        document = json.load(f)
    # JSON has no tuples; API versions are fixed pairs, so hold them as tuples.
    for service in document["services"].values():
        service["api_version"] = tuple(service["api_version"])
    return document


def spell(path):
    """services.billing.endpoints[0].path: keys joined by dots, positions in brackets."""
    text = ""
    for element in path:
        if isinstance(element, IndexMarker):
            text += f"[{element.index}]"
        else:
            text += ("." if text else "") + str(element)
    return text


def main():
    document = load_catalogue()
    flat = FlatPath(document)
    print(f"{len(flat)} leaves in {HERE.name}/document.json:")
    width = max(len(spell(path)) for path, _ in flat)
    for path, value in flat:
        print(f"  {spell(path):<{width}}  {value!r}")

    print("\none pair as stored (positions are IndexMarker objects):")
    print(" ", flat[10])

    rebuilt = flat.reconstruct()
    same = rebuilt == document and rebuilt is not document
    print(f"\nreconstruct() gives the document back: {same}")
    print("tuples stay tuples:", rebuilt["services"]["billing"]["api_version"])
    print("empty containers stay put:", rebuilt["retired"], rebuilt["services"]["search"]["limits"])
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
