"""Structure builders: coherent twin boundaries and polycrystals."""
