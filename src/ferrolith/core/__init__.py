"""Geometry kernels and function decorators."""
