"""Element data and bundled data files."""
