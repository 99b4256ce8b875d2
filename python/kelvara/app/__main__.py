"""python -m kelvara.app [FILES or FOLDER] [--port N] [--no-browser]: as `kelvara serve`."""
import sys

from kelvara.cli import main

if __name__ == "__main__":
    sys.exit(main(["serve", *sys.argv[1:]]))
