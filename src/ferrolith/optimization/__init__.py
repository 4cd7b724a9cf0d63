"""Structure relaxation: calculators and optimisers."""
