"""One plain-Python reference per measure, written from the definitions; every
Python test of a measure compares the module against its reference here.
Each module stands alone: import it by name (`from reference import triplets`)."""
