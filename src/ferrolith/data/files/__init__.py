"""Potential files shipped with ferrolith; this folder holds them."""
