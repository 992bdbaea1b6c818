"""Kestrane: a compiler and runtime for a typed SSA IR with meta instructions for formal reasoning.

The native core lives in :mod:`kepi._sys`; :mod:`kepi.api` holds the settings records it reads.
"""

from kepi import api

__all__ = ["api"]
