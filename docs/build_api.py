"""Builds the HTML API reference of `tovalib` and `tovalib_data` with pdoc.

    python docs/build_api.py [--out docs/api]

Run it where the distribution is installed (`pip install '.[docs]'`): pdoc
documents a module by importing it. The extension carries no docstrings of
its own; pdoc takes its signatures and documentation from the stub
`tovalib.pyi` installed beside it. `tovalib_data` is documented from its
docstrings, as its `__all__` lists it, and so are the modules in
`DOCUMENTED_SUBMODULES` (`tovalib_data.loading.seed_time`: the forms a seed time
takes), which public docstrings point to. Every warning is an error, so a stub
that no longer matches the extension, or an annotation that does not
resolve, fails the build.
"""

from __future__ import annotations

import argparse
import typing
import warnings
from pathlib import Path

DEFAULT_OUT = Path(__file__).resolve().parent / "api"
# Modules of tovalib_data that public docstrings point to for details, each
# rendered on a page of its own.
DOCUMENTED_SUBMODULES = ["tovalib_data.loading.seed_time"]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT,
                        help="output folder (default: docs/api)")
    args = parser.parse_args(argv)
    warnings.simplefilter("error")
    # pdoc reads the stub by executing it. The stub marks a helper class
    # with typing.type_check_only, which exists only for type checkers; at
    # run time it may leave the class as it is.
    if not hasattr(typing, "type_check_only"):
        setattr(typing, "type_check_only", lambda obj: obj)
    import pdoc
    import pdoc.render

    import tovalib
    import tovalib_data

    pdoc.render.configure(docformat="markdown", footer_text=f"tovalib {tovalib_data.__version__}")
    pdoc.pdoc(tovalib.__name__, tovalib_data.__name__, *DOCUMENTED_SUBMODULES,
              output_directory=args.out)
    print(f"API reference of tovalib {tovalib_data.__version__} in {args.out}")


if __name__ == "__main__":
    main()
