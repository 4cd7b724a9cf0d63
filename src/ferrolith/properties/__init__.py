"""Hardness prediction from atomic structures and elastic moduli."""
