import kepi._sys  # noqa: F401  (fail early and clearly when the module is not importable)
