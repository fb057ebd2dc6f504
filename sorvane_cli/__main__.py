import sys


def main(argv=None):
    print("sorvane: the offline toolkit is not built yet", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
