"""Engines that drive behavior trees."""
