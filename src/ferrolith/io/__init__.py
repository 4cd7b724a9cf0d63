"""Structure file formats: VESTA and BCS, and the extended ASE read/write."""
