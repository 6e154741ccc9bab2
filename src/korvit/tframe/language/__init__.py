"""User-facing message templates."""
