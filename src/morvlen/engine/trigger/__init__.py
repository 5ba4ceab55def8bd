"""Engines that run trees on worker threads."""
