"""A first look at quarlex: which module was loaded, by which interpreter."""

import sys

import quarlex


def main() -> None:
    print("quarlex:", (quarlex.__doc__ or "(no docstring)").strip())
    print("module file:", quarlex.__file__)
    print("interpreter:", sys.version.replace("\n", " "))
    gil = sys._is_gil_enabled()
    print("GIL enabled:", gil)
    if gil:
        # Importing an extension that does not declare GIL-free support turns
        # the GIL back on; quarlex declares it, so this should never happen.
        sys.exit("error: the GIL is enabled; quarlex should run without it")


if __name__ == "__main__":
    main()
