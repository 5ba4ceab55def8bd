"""morvlen: a thread engine for behavior trees, with a C++ behavior-tree runtime."""

__version__ = "0.1.0"
