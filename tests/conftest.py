import sys
from pathlib import Path

# Lets the shared helpers (semantic.py) be imported by every test module.
sys.path.insert(0, str(Path(__file__).parent))

# A shell without job control starts its background commands with SIGINT ignored, and an ignored
# signal stays ignored across exec: the children of the Ctrl-C tests would never see theirs. A
# handled signal is reset to the default in a child, so handling it here gives them the default.
import signal  # noqa: E402

if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
