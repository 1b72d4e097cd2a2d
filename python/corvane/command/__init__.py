"""The ``corvane`` command: ``encode``, ``stats`` and ``solve`` on OPB files.

``cli`` parses the arguments and reports errors, ``solve`` is the solver on
top of CaDiCaL, ``inputs`` opens plain, compressed and piped inputs. All of
them call the library through the native module; none re-implements it.
"""
