"""Helpers for tests and offline demonstrations."""
