"""Data interfaces of the framework."""
