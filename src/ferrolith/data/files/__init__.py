"""Data files shipped with ferrolith: the bundled interatomic potentials.

``BNC.tersoff`` is the B-N-C Tersoff potential (the command ``ferrolith optimize
--potential tersoff``). Find the directory with ``Path(files.__file__).parent``.
"""
