import os
import sys

# Lets the property tests import the reference model as `model`.
sys.path.insert(0, os.path.dirname(__file__))
