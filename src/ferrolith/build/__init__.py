"""Structure builders: coherent twin boundaries and Voronoi polycrystals."""
