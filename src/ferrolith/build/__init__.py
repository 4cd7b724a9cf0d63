"""Structure builders: twin boundaries and Voronoi polycrystals."""
