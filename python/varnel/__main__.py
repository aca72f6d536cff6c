"""``python -m varnel demo [options]``: see varnel.demo."""

import sys

USAGE = "usage: python -m varnel demo [--n N] [--queries Q] [--dim D] [--bits B] [--k K] [--seed S]"


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] != "demo":
        print(USAGE, file=sys.stderr)
        return 2
    from varnel.demo import main as demo_main

    demo_main(sys.argv[2:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
