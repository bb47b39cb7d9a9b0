"""The cladorix command line: tables of tree comparisons from tree files."""
