"""python -m kelvara.app [FILES or FOLDER] [--port N] [--no-browser]: as `kelvara serve`."""
import sys

from kelvara.cli import main

sys.exit(main(["serve", *sys.argv[1:]]))
