"""Data files shipped with ferrolith: the bundled interatomic potentials.

``BNC.tersoff`` is the B-N-C Tersoff potential (``ferrolith optimize --potential
tersoff``) and ``BCN-qz-v0.0.1.pth`` the machine-learned B-C-N potential
(``--potential pth``). Find the directory with ``Path(files.__file__).parent``.
"""
