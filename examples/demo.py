"""A short tour of what veltrano._korvex_core answers."""

from veltrano import _korvex_core as core


def main() -> None:
    print(f"imported {core.__name__} from {core.__file__}")


if __name__ == "__main__":
    main()
