"""python -m trawl FILE...: print each file's metadata as one JSON object per line."""

import argparse
import json
import sys

from . import parse


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m trawl", description="Print the metadata of each file as JSON."
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--pretty", action="store_true", help="indent the JSON output")
    options = parser.parse_args(argv)
    status = 0
    for path in options.files:
        try:
            result = parse(path)
        except OSError as error:
            print(error, file=sys.stderr)
            status = 1
            continue
        text = json.dumps(result, indent=2 if options.pretty else None, ensure_ascii=False)
        print(text, flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
