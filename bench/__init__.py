"""Benchmarks of kelvex against libcurl driven from C++ and against the
Python HTTP clients people would otherwise pick.  `make bench` runs them
(`python bench/run.py` inside the build environment)."""
