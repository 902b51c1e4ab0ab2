import os
import sys

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "scripts")
sys.path.insert(0, os.path.normpath(SCRIPTS))
