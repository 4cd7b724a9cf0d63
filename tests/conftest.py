"""Settings for every test process, applied before numpy is imported."""

import os

# One BLAS thread per process: the machines running the tests have few cores,
# and ASE's cell filter calls scipy on 3 x 3 matrices, where a pool of BLAS
# threads only adds waiting (25 times slower on two busy cores). Dask workers
# get the same setting from Dask itself.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")
