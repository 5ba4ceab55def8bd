"""Base classes of action nodes."""
