"""The framework's environment base: ``framekit`` (compiled) and its host modules."""
