"""pemux-service: a solving service for the pemux module on one machine."""

__version__ = "0.1.0"
