"""Synthetic avatar bundle generation: one module per concern (manifest,
arrays, video, container), assembled by make_bundle.py."""
