"""Device classes and their helpers."""
