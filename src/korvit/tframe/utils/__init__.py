"""Host utilities: logging, output directories, .mat files, argument checks, errors."""
