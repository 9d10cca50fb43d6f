"""End-to-end demo of velora."""

import velora


def main() -> None:
    print("velora", velora.__all__)


if __name__ == "__main__":
    main()
