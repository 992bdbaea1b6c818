"""Settings records of the runtime's extensions."""
