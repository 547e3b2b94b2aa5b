"""veltrano: physics constants and formulas.

The compiled core lives in :mod:`veltrano._korvex_core`.
"""
