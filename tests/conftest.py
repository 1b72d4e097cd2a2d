import sys
from pathlib import Path

# Lets the shared helpers (semantic.py) be imported by every test module.
sys.path.insert(0, str(Path(__file__).parent))
