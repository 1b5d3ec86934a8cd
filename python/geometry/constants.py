"""Numeric constants shared by the geometry package."""

pi = 3.141592653589793
