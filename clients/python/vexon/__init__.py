"""Client of srvvexon: every operation as a method, answers of queued
requests, and the live event streams."""

from .client import Client, VexonError

__all__ = ["Client", "VexonError"]
